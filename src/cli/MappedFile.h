// Input files mapped into memory, so that an image can be made over the
// file's own pages instead of reading them into fresh memory (which the kernel
// must first zero, then fill by copying).
//
// A mapping has one hazard that reading has not: when another process
// shortens the file while it is mapped, touching a page past the new end
// raises SIGBUS. A handler installed with the first mapping turns that into
// the command line's usual failure: one line "error: <file>: the file was
// shortened while it was in use", the temporary outputs removed, exit status
// 2. A SIGBUS outside every mapping keeps its default action.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace regionfeat {

// The first size bytes of the open file fd, mapped privately (writes stay in
// this process) with every page fetched ahead, as a pointer that unmaps them
// when the last copy goes. Null when the file cannot be mapped or too many
// mappings are alive at once (64); the caller then reads the file instead.
std::shared_ptr<void> MapFileForReading(int fd, uint64_t size, const std::string& path);

}  // namespace regionfeat
