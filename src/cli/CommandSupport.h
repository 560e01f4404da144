// What the commands that run nodes share: calls into a node with its
// failures turned into the command line's (Errors.h), node creation, the
// inputs read as a node gets them, the checks every output passes before
// anything runs, and the redirection of a node's progress text.
#pragma once

#include <cstdint>
#include <iostream>
#include <memory>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Errors.h"
#include "ImageIO.h"
#include "ModuleLoader.h"
#include "kelo/Exception.h"
#include "kelo/Image.h"
#include "kelo/Node.h"
#include "kelo/Value.h"

namespace regionfeat {

bool SpeaksOfMemory(const std::string& message);

// Runs a call into the node and turns whatever it throws into a NodeError, or
// into OutOfMemory when the memory ran out. doing names the call for the
// message ("running Area").
template <class Fn>
void CallNode(const std::string& doing, Fn&& fn) {
    try {
        fn();
    } catch (const KELO::CException& e) {
        std::string text = e.Location().empty() ? e.Message() : e.Location() + ": " + e.Message();
        if (SpeaksOfMemory(e.Message())) throw OutOfMemory("out of memory: " + text);
        throw NodeError(std::move(text));
    } catch (const std::bad_alloc& e) {
        throw OutOfMemory("out of memory while " + doing + " (" + e.what() + ")");
    } catch (const std::length_error& e) {
        // A container asked for more elements than any memory holds.
        throw OutOfMemory("out of memory while " + doing + " (" + e.what() + ")");
    } catch (const std::exception& e) {
        throw NodeError(e.what());
    } catch (...) {
        throw NodeError("the node threw an exception that is not a standard one");
    }
}


std::string Joined(const std::vector<std::string>& items, const char* separator);

// The node of that name, or UsageError listing the nodes when the module has none.
std::unique_ptr<KELO::CPNode> CreateNode(const Module& module, const std::string& name);

// The map at key, or null when there is none.
const KELO::CValueMap* MapAt(const KELO::CValueMap& map, const char* key);

// The existing regular files that the values of -p arguments (KEY=VALUE)
// name, such as FromGraph's graph file: inputs of the run, which an output
// must never replace.
std::vector<std::string> FilesNamedBy(const std::vector<std::string>& parameters);

enum class OutputKind { Csv, Tsv, Npy, Tiff, Json };

struct OutputFile {
    std::string path;
    OutputKind kind;
};

// Checks every output before anything runs: a known extension, a writable
// directory, and no output that is an input file or another output. The
// finished output replaces its target by a rename, so an output naming an
// input would lose that input.
std::vector<OutputFile> CheckOutputs(const std::vector<std::string>& paths, const std::vector<std::string>& inputs);

// Nodes write progress text to std::cout. While standard output carries a
// result (a table, a description), that text is sent to standard error.
class CoutToCerr {
public:
    explicit CoutToCerr(bool active) {
        if (!active) return;
        std::cout.flush();
        m_saved = std::cout.rdbuf(std::cerr.rdbuf());
    }
    ~CoutToCerr() {
        if (!m_saved) return;
        std::cout.flush();
        std::cout.rdbuf(m_saved);
    }
    CoutToCerr(const CoutToCerr&) = delete;
    CoutToCerr& operator=(const CoutToCerr&) = delete;

private:
    std::streambuf* m_saved = nullptr;
};


// Reads an input as the node gets it (see ToNodeImage), straight into the
// node's image (ReadNodeImage). For a label image, the warnings about its
// values go to err first, one line each. A failing allocation is reported as
// OutOfMemory naming the file.
std::unique_ptr<KELO::CImage> LoadNodeImage(const std::string& path, bool native, const ReadLimits& limits,
                                            bool labels, std::ostream& err);

// The labels that occur in a float label image (a pixel's label is its value
// truncated toward zero, 1 .. 2^32 - 1), ascending; empty unless there are
// exactly `rows` of them.
std::vector<uint32_t> LabelsPresent(const KELO::CImage& labels, int64_t rows);

}  // namespace regionfeat
