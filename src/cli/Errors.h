// How regionfeat fails: the exception kinds and the exit status of each.
//
//   0  success
//   1  the node refused the input (NodeError)
//   2  a usage or input problem: the command line, an image file, the module,
//      an output that would overwrite an input (UsageError, ImageIOError,
//      ModuleError)
//   3  out of memory, wherever it ran out (OutOfMemory, std::bad_alloc)
//
// A run ended by SIGINT, SIGTERM, SIGHUP or SIGPIPE removes its temporary files and
// then ends by that signal, as if it had not been caught.
#pragma once

#include <stdexcept>
#include <string>

namespace regionfeat {

constexpr int kExitNodeFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitOutOfMemory = 3;

// Wrong use of the command line: unknown node, bad parameter, unknown output
// extension, unwritable output location, an output that names an input.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The node threw. The message is the whole line after "error: ":
// "<location>: <message>" for a host exception, what() for a standard one.
class NodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The memory ran out: an allocation failed (in the node, while reading or
// while writing), or the node refused because the memory would not suffice.
// The message starts with "out of memory" and says what was being done.
class OutOfMemory : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A message as one line of standard error: each line end in it (CR LF, LF or
// CR; a node's message or a file name may hold them) becomes one blank. A
// node's message is otherwise kept as it stands, trailing blanks included.
inline std::string OneLine(const std::string& message) {
    std::string line;
    line.reserve(message.size());
    for (std::size_t i = 0; i < message.size(); ++i) {
        const char c = message[i];
        if (c == '\r' && i + 1 < message.size() && message[i + 1] == '\n') continue;
        line += c == '\n' || c == '\r' ? ' ' : c;
    }
    return line;
}

}  // namespace regionfeat
