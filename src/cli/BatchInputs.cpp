#include "BatchInputs.h"

#include <glob.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <unordered_map>

#include "CommandSupport.h"
#include "Errors.h"
#include "Output.h"

namespace regionfeat {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trimmed(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// The key under which two spellings of one path ("./a.tif", "a.tif") meet.
std::string Normal(const std::string& path) { return std::filesystem::path(path).lexically_normal().string(); }

struct Record {
    std::size_t line = 0;  // where the record starts, from 1
    std::vector<std::string> fields;
};

// Splits CSV text into records. Line ends are LF, CRLF or a lone CR; quoted
// fields may hold separators, doubled quotes and line ends.
class CsvReader {
public:
    CsvReader(const std::string& name, const std::string& text) : m_name(name), m_text(text) {
        if (m_text.compare(0, 3, "\xEF\xBB\xBF") == 0) m_pos = 3;
    }

    // The next record, false at the end of the text.
    bool Next(Record& record) {
        if (m_pos >= m_text.size()) return false;
        record.line = m_line;
        record.fields.clear();
        for (;;) {
            record.fields.push_back(Field());
            if (m_pos >= m_text.size()) return true;
            if (m_text[m_pos] == ',') {
                ++m_pos;
                continue;
            }
            SkipLineEnd();
            return true;
        }
    }

private:
    [[noreturn]] void Fail(std::size_t line, const std::string& what) const {
        throw UsageError(m_name + ":" + std::to_string(line) + ": " + what);
    }

    bool AtLineEnd() const { return m_text[m_pos] == '\n' || m_text[m_pos] == '\r'; }

    void SkipLineEnd() {
        if (m_text[m_pos] == '\r' && m_pos + 1 < m_text.size() && m_text[m_pos + 1] == '\n') ++m_pos;
        ++m_pos;
        ++m_line;
    }

    std::string Field() {
        std::size_t start = m_pos;
        while (m_pos < m_text.size() && IsBlank(m_text[m_pos])) ++m_pos;
        if (m_pos < m_text.size() && m_text[m_pos] == '"') return Quoted();
        m_pos = start;
        while (m_pos < m_text.size() && m_text[m_pos] != ',' && !AtLineEnd()) ++m_pos;
        return Trimmed(m_text.substr(start, m_pos - start));
    }

    std::string Quoted() {
        const std::size_t opened = m_line;
        ++m_pos;
        std::string value;
        for (;;) {
            if (m_pos >= m_text.size()) Fail(opened, "unterminated quote");
            const char c = m_text[m_pos];
            if (c == '"') {
                if (m_pos + 1 < m_text.size() && m_text[m_pos + 1] == '"') {
                    value += '"';
                    m_pos += 2;
                    continue;
                }
                ++m_pos;
                break;
            }
            if (c == '\r' || c == '\n') {
                // A line end inside quotes is kept as LF, whatever the file uses.
                SkipLineEnd();
                value += '\n';
                continue;
            }
            value += c;
            ++m_pos;
        }
        while (m_pos < m_text.size() && IsBlank(m_text[m_pos])) ++m_pos;
        if (m_pos < m_text.size() && m_text[m_pos] != ',' && !AtLineEnd())
            Fail(m_line, "text after a closing quote (a quote inside a quoted field is written \"\")");
        return value;
    }

    const std::string& m_name;
    const std::string& m_text;
    std::size_t m_pos = 0;
    std::size_t m_line = 1;
};

bool AllEmpty(const Record& r) {
    return std::all_of(r.fields.begin(), r.fields.end(), [](const std::string& f) { return f.empty(); });
}

std::string ReadListFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        throw UsageError(path + ": cannot read the list: " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) throw UsageError(path + ": the list is a directory");
    // Not only regular files: a list may come from a pipe (<(ls ...)). The
    // text held is what the file gives, nothing reserved ahead of it.
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError(path + ": cannot read the list: " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw UsageError(path + ": cannot read the list");
    return text.str();
}

struct Placeholders {
    std::string dir, name, stem, ext;
};

// The pattern with its placeholders replaced; with values null, only checks
// the pattern and returns how many placeholders it has (as text).
std::string Expand(const std::string& pattern, const Placeholders* values, int* count = nullptr) {
    const std::string known = " (use {dir}, {name}, {stem} or {ext}, and {{ or }} for a brace)";
    std::string out;
    int found = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '}') {
            if (i + 1 < pattern.size() && pattern[i + 1] == '}') {
                out += '}';
                ++i;
                continue;
            }
            throw UsageError("label pattern '" + pattern + "': a '}' without its '{'" + known);
        }
        if (c != '{') {
            out += c;
            continue;
        }
        if (i + 1 < pattern.size() && pattern[i + 1] == '{') {
            out += '{';
            ++i;
            continue;
        }
        const std::size_t close = pattern.find('}', i);
        if (close == std::string::npos)
            throw UsageError("label pattern '" + pattern + "': a '{' without its '}'" + known);
        const std::string key = pattern.substr(i + 1, close - i - 1);
        const std::string* value = nullptr;
        static const std::string none;
        if (key == "dir") value = values ? &values->dir : &none;
        else if (key == "name") value = values ? &values->name : &none;
        else if (key == "stem") value = values ? &values->stem : &none;
        else if (key == "ext") value = values ? &values->ext : &none;
        else throw UsageError("label pattern '" + pattern + "': unknown placeholder '{" + key + "}'" + known);
        out += *value;
        ++found;
        i = close;
    }
    if (count) *count = found;
    return out;
}

Placeholders PartsOf(const std::string& path) {
    Placeholders p;
    p.dir = DirectoryOf(path);
    const std::size_t slash = path.find_last_of('/');
    p.name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = p.name.find_last_of('.');
    if (dot == std::string::npos || dot == 0) {
        p.stem = p.name;
    } else {
        p.stem = p.name.substr(0, dot);
        p.ext = p.name.substr(dot);
    }
    return p;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 || errno != ENOENT;
}

}  // namespace

std::vector<ImagePair> ReadPairList(const std::string& listPath) {
    const std::string text = ReadListFile(listPath);
    CsvReader reader(listPath, text);
    auto fail = [&](std::size_t line, const std::string& what) {
        throw UsageError(listPath + ":" + std::to_string(line) + ": " + what);
    };

    Record record;
    bool header = false;
    std::size_t imageColumn = 0, labelsColumn = 0;
    while (!header && reader.Next(record)) {
        if (AllEmpty(record)) continue;
        header = true;
        std::vector<std::string> names;
        bool haveImage = false, haveLabels = false;
        for (std::size_t i = 0; i < record.fields.size(); ++i) {
            const std::string name = Lower(Trimmed(record.fields[i]));
            names.push_back(Trimmed(record.fields[i]));
            for (auto [column, have, index] : {std::tuple{"image", &haveImage, &imageColumn},
                                               std::tuple{"labels", &haveLabels, &labelsColumn}}) {
                if (name != column) continue;
                if (*have) fail(record.line, std::string("the header names the column '") + column + "' twice");
                *have = true;
                *index = i;
            }
        }
        for (auto [column, have] : {std::pair{"image", haveImage}, std::pair{"labels", haveLabels}})
            if (!have)
                fail(record.line, std::string("the header row has no column '") + column +
                                      "' (it names: " + Joined(names, ", ") +
                                      "); the first row must name the columns 'image' and 'labels'");
    }
    if (!header) throw UsageError(listPath + ": the list is empty; it needs a header row naming the columns "
                                             "'image' and 'labels', then one row per image");

    const std::string directory = DirectoryOf(listPath);
    auto resolve = [&](const std::string& path) {
        return path.front() == '/' || directory == "." ? path : directory + "/" + path;
    };
    const std::size_t needed = std::max(imageColumn, labelsColumn) + 1;
    std::vector<ImagePair> pairs;
    std::map<std::pair<std::string, std::string>, std::size_t> seen;
    while (reader.Next(record)) {
        if (AllEmpty(record)) continue;
        if (record.fields.size() < needed)
            fail(record.line, std::to_string(record.fields.size()) + (record.fields.size() == 1 ? " field" : " fields") +
                                  ", but the column '" + (imageColumn > labelsColumn ? "image" : "labels") +
                                  "' is field " + std::to_string(needed));
        const std::string& image = record.fields[imageColumn];
        const std::string& labels = record.fields[labelsColumn];
        if (image.empty()) fail(record.line, "the image path is empty");
        if (labels.empty()) fail(record.line, "the labels path is empty");
        if (image.find('\0') != std::string::npos || labels.find('\0') != std::string::npos)
            fail(record.line, "a path holds a NUL byte");
        ImagePair pair{resolve(image), resolve(labels)};
        const auto [at, added] = seen.emplace(std::pair{Normal(pair.image), Normal(pair.labels)}, record.line);
        if (!added)
            fail(record.line, "the image '" + image + "' with the labels '" + labels + "' is already listed on line " +
                                  std::to_string(at->second));
        pairs.push_back(std::move(pair));
    }
    if (pairs.empty()) throw UsageError(listPath + ": the list names no image pair, only its header");
    return pairs;
}

std::vector<ImagePair> PairsFromGlob(const std::string& imageGlob, const std::string& labelPattern) {
    int placeholders = 0;
    Expand(labelPattern, nullptr, &placeholders);
    if (placeholders == 0)
        throw UsageError("label pattern '" + labelPattern +
                         "' has no placeholder, so every image would get the same label file "
                         "(use {dir}, {name}, {stem} or {ext}, such as '{dir}/{stem}_labels{ext}')");
    if (imageGlob.empty()) throw UsageError("the image glob is empty");

    glob_t found{};
    const int status = ::glob(imageGlob.c_str(), GLOB_MARK | GLOB_NOSORT, nullptr, &found);
    const std::size_t matched = status == 0 ? found.gl_pathc : 0;
    std::vector<std::string> images;
    try {
        if (status == 0)
            for (std::size_t i = 0; i < found.gl_pathc; ++i) {
                std::string path = found.gl_pathv[i];
                if (!path.empty() && path.back() != '/') images.push_back(std::move(path));  // GLOB_MARK: a directory
            }
    } catch (...) {
        ::globfree(&found);
        throw;
    }
    ::globfree(&found);
    if (status == GLOB_NOSPACE) throw OutOfMemory("out of memory while matching '" + imageGlob + "'");
    if (status == GLOB_ABORTED) throw UsageError("cannot read a directory while matching '" + imageGlob + "'");
    if (status == GLOB_NOMATCH || (status == 0 && matched == 0))
        throw UsageError("no file matches '" + imageGlob + "'");
    if (status != 0) throw UsageError("cannot match '" + imageGlob + "'");
    if (images.empty()) throw UsageError("only directories match '" + imageGlob + "'");
    std::sort(images.begin(), images.end());

    std::vector<ImagePair> pairs;
    pairs.reserve(images.size());
    std::set<std::string> labelFiles;
    for (const std::string& image : images) {
        const Placeholders parts = PartsOf(image);
        std::string labels = Expand(labelPattern, &parts);
        if (Normal(labels) == Normal(image))
            throw UsageError("label pattern '" + labelPattern + "' names the image itself as its label file ('" +
                             image + "')");
        labelFiles.insert(Normal(labels));
        pairs.push_back({image, std::move(labels)});
    }
    // A matched file that some other image names as its label file, and that
    // has no label file of its own, is a label file that the glob caught too.
    std::erase_if(pairs, [&](const ImagePair& p) { return labelFiles.count(Normal(p.image)) && !Exists(p.labels); });
    return pairs;
}

void CheckPairsExist(const std::vector<ImagePair>& pairs) {
    std::unordered_map<std::string, std::string> problems;  // path -> what is wrong ("" when fine)
    std::string first;
    auto check = [&](const std::string& path) -> const std::string& {
        auto [at, added] = problems.try_emplace(path);
        if (!added) return at->second;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0)
            at->second = errno == ENOENT || errno == ENOTDIR ? "does not exist"
                                                             : std::string("cannot be read (") + std::strerror(errno) + ")";
        else if (S_ISDIR(st.st_mode))
            at->second = "is a directory";
        else if (!S_ISREG(st.st_mode))
            at->second = "is not a regular file";
        return at->second;
    };
    for (const ImagePair& p : pairs) {
        const std::string& image = check(p.image);
        if (first.empty() && !image.empty()) first = "image '" + p.image + "' " + image;
        const std::string& labels = check(p.labels);
        if (first.empty() && !labels.empty()) first = "labels '" + p.labels + "' of image '" + p.image + "' " + labels;
    }
    if (first.empty()) return;
    const auto missing = std::count_if(problems.begin(), problems.end(), [](const auto& e) { return !e.second.empty(); });
    if (missing > 1) first += " (" + std::to_string(missing) + " files missing)";
    throw UsageError(first);
}

}  // namespace regionfeat
