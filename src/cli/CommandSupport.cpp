#include "CommandSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "LabelCheck.h"
#include "Output.h"

namespace regionfeat {

using namespace KELO;
namespace fs = std::filesystem;

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// What makes two paths the same file: device and inode when the file exists
// (so symbolic and hard links count), else the absolute path with the
// symbolic links of its existing part resolved.
struct FileIdentity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string path;
};

FileIdentity IdentityOf(const std::string& path) {
    FileIdentity id;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        id.exists = true;
        id.device = st.st_dev;
        id.inode = st.st_ino;
    }
    std::error_code ec;
    id.path = fs::weakly_canonical(fs::absolute(fs::path(path), ec), ec).string();
    if (ec) id.path = fs::absolute(fs::path(path), ec).lexically_normal().string();
    return id;
}

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
    if (a.exists && b.exists) return a.device == b.device && a.inode == b.inode;
    return a.path == b.path;
}

}  // namespace

// A node's exception that speaks of memory reports that the memory would not
// suffice (the region table's check, or an allocation failure the node turned
// into its own exception); it is reported like any other out-of-memory case.
bool SpeaksOfMemory(const std::string& message) {
    std::string lower = message;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("memory") != std::string::npos;
}

std::string Joined(const std::vector<std::string>& items, const char* separator) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? separator : "") + items[i];
    return out;
}

std::unique_ptr<CPNode> CreateNode(const Module& module, const std::string& name) {
    std::unique_ptr<CPNode> node;
    try {
        node = module.Create(name);
    } catch (const ModuleError&) {
        throw;
    } catch (const std::exception& e) {
        throw NodeError(std::string("creating '") + name + "' failed: " + e.what());
    }
    if (!node) {
        const std::vector<std::string> listed = module.Listed();
        throw UsageError("unknown node '" + name + "' (nodes: " + Joined(listed, ", ") + ")");
    }
    return node;
}


const CValueMap* MapAt(const CValueMap& map, const char* key) {
    const CValue* v = map.Entry(key);
    return v && v->Type() == EValueType::Map ? static_cast<const CValueMap*>(v) : nullptr;
}

std::vector<OutputFile> CheckOutputs(const std::vector<std::string>& paths, const std::vector<std::string>& inputs) {
    std::vector<OutputFile> files;
    std::vector<std::pair<std::string, FileIdentity>> inputIds, outputIds;
    for (const std::string& in : inputs)
        if (!in.empty()) inputIds.emplace_back(in, IdentityOf(in));
    for (const std::string& path : paths) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            throw UsageError("output '" + path + "' is a directory; give a file name in it, such as '" + path +
                             (path.ends_with("/") ? "" : "/") + "features.csv'");
        const std::size_t slash = path.find_last_of('/');
        const std::size_t dot = path.find_last_of('.');
        const std::string ext =
            dot == std::string::npos || (slash != std::string::npos && dot < slash) ? "" : Lower(path.substr(dot + 1));
        OutputKind kind;
        if (ext == "csv")
            kind = OutputKind::Csv;
        else if (ext == "tsv")
            kind = OutputKind::Tsv;
        else if (ext == "npy")
            kind = OutputKind::Npy;
        else if (ext == "tif" || ext == "tiff")
            kind = OutputKind::Tiff;
        else if (ext == "json")
            kind = OutputKind::Json;
        else
            throw UsageError("output '" + path + "': unknown extension (use .csv, .tsv, .npy, .tif, .tiff or .json)");
        // Refuse an unwritable place before the node runs, not after.
        const std::string dir = DirectoryOf(path);
        if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            throw UsageError("output '" + path + "': the directory '" + dir + "' does not exist");
        if (::access(dir.c_str(), W_OK) != 0)
            throw UsageError("output '" + path + "': the directory '" + dir + "' is not writable");
        const FileIdentity id = IdentityOf(path);
        for (const auto& [in, inId] : inputIds)
            if (SameFile(id, inId))
                throw UsageError("output '" + path + "' is the input '" + in +
                                 "'; an input is never overwritten, choose another output");
        for (const auto& [other, otherId] : outputIds)
            if (SameFile(id, otherId))
                throw UsageError("output '" + path + "' is given twice (also as '" + other + "')");
        outputIds.emplace_back(path, id);
        files.push_back({path, kind});
    }
    return files;
}

std::unique_ptr<CImage> LoadNodeImage(const std::string& path, bool native, const ReadLimits& limits, bool labels,
                                      std::ostream& err) {
    try {
        std::vector<std::string> warnings;
        std::unique_ptr<CImage> image = ReadNodeImage(path, native, limits, labels ? &warnings : nullptr);
        for (const std::string& warning : warnings) err << "warning: " << path << ": " << warning << std::endl;
        return image;
    } catch (const std::bad_alloc&) {
        throw OutOfMemory("out of memory while reading " + path);
    } catch (const std::length_error&) {
        throw OutOfMemory("out of memory while reading " + path);
    }
}


std::vector<uint32_t> LabelsPresent(const CImage& labels, int64_t rows) {
    if (labels.Type() != IMAGE_GREY_F) return {};
    const float* p = labels.Pixels<float>();
    const int64_t n = labels.Size().Count();
    uint32_t largest = 0;
    for (int64_t i = 0; i < n; ++i)
        if (p[i] >= 1.0f && p[i] < 4294967296.0f) largest = std::max(largest, static_cast<uint32_t>(p[i]));
    // A byte per label: the node's run has already held a 40-byte record for each.
    std::vector<uint8_t> seen(static_cast<std::size_t>(largest) + 1, 0);
    for (int64_t i = 0; i < n; ++i)
        if (p[i] >= 1.0f && p[i] < 4294967296.0f) seen[static_cast<uint32_t>(p[i])] = 1;
    std::vector<uint32_t> present;
    for (std::size_t l = 1; l < seen.size(); ++l)
        if (seen[l]) present.push_back(static_cast<uint32_t>(l));
    if (static_cast<int64_t>(present.size()) != rows) return {};
    return present;
}


std::vector<std::string> FilesNamedBy(const std::vector<std::string>& parameters) {
    // Any value that names a regular file counts, not only FromGraph's graph:
    // which string parameters a node reads as paths is the node's business,
    // and refusing an output that happens to be named like such a value costs
    // the user only another name.
    std::vector<std::string> files;
    for (const std::string& p : parameters) {
        const std::size_t eq = p.find('=');
        if (eq == std::string::npos) continue;
        std::string value = p.substr(eq + 1);
        struct stat st {};
        if (!value.empty() && ::stat(value.c_str(), &st) == 0 && S_ISREG(st.st_mode)) files.push_back(std::move(value));
    }
    return files;
}

}  // namespace regionfeat
