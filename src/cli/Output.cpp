#include "Output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <new>

#include "Errors.h"
#include "TempFiles.h"
#include "kelo/Image.h"

namespace regionfeat {

using namespace KELO;

namespace {
template <class T>
std::string Shortest(T value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, res.ptr);
}

}  // namespace

std::string CsvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string TsvField(std::string s) {
    for (char& c : s)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return s;
}

namespace {

// Text of a string value, or "" for anything else.
std::string TextOf(const CValue* v) { return v && v->Type() == EValueType::String ? v->String() : std::string(); }

// Best effort: the temporary file was never renamed, so it is ours to remove.
void RemoveQuietly(const std::string& path) { ::unlink(path.c_str()); }
}  // namespace

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string FormatFloat(float value) { return Shortest(value); }
std::string FormatDouble(double value) { return Shortest(value); }

std::vector<std::string> ColumnNames(const CValue* output1, const CValueMap& setup, int64_t columns) {
    const auto* perFeature =
        output1 && output1->Type() == EValueType::Vector ? static_cast<const CValueVector*>(output1) : nullptr;
    const CValue* described = setup.Entry("FeatureNames");
    const auto* names =
        described && described->Type() == EValueType::Vector ? static_cast<const CValueVector*>(described) : nullptr;
    std::vector<std::string> out;
    for (int64_t i = 0; i < columns; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        std::string name;
        if (perFeature && slot < perFeature->Size() && perFeature->Vector()[slot]) {
            const CValueMap* meta = perFeature->Vector()[slot]->MetaIfAny();
            if (meta) name = TextOf(meta->Entry("FeatureName"));
        }
        if (name.empty() && names && slot < names->Size()) name = TextOf(names->Vector()[slot].get());
        if (name.empty()) name = std::to_string(i).insert(0, 1, 'f');
        out.push_back(std::move(name));
    }
    return out;
}

Table MakeTable(const CImage& matrix, const CValue* output1, const CValueMap& setup) {
    Raster r = FloatRasterOf(matrix);
    Table t;
    t.columns = r.width;
    t.rows = r.height * r.depth;
    t.values.assign(r.As<float>(), r.As<float>() + r.Count());
    t.names = ColumnNames(output1, setup, t.columns);
    return t;
}

void WriteDelimited(std::ostream& out, const Table& t, char separator) {
    auto field = [&](const std::string& s) { return separator == ',' ? CsvField(s) : TsvField(s); };
    std::string line = "label";
    for (const std::string& name : t.names) {
        line += separator;
        line += field(name);
    }
    out << line << '\n';
    for (int64_t r = 0; r < t.rows; ++r) {
        line = std::to_string(t.labels.empty() ? static_cast<uint64_t>(r + 1) : t.labels[static_cast<std::size_t>(r)]);
        for (int64_t c = 0; c < t.columns; ++c) {
            line += separator;
            line += FormatFloat(t.values[static_cast<std::size_t>(r * t.columns + c)]);
        }
        out << line << '\n';
    }
}

void FileSet::Add(const std::string& path, std::function<void(const std::string&)> writer) {
    m_items.push_back({path, std::move(writer)});
}

StagedOutputs::~StagedOutputs() { Discard(); }

std::string StagedOutputs::Stage(const std::string& target) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const std::size_t slash = target.find_last_of('/');
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temp = DirectoryOf(target) + "/." + name + ".tmp-XXXXXX";
    m_targets.reserve(m_targets.size() + 1);
    m_temps.reserve(m_temps.size() + 1);
    int fd = -1;
    {
        // No signal between the file's creation and its registration.
        SignalBlock block;
        fd = ::mkstemp(temp.data());
        if (fd < 0) throw ImageIOError(target + ": cannot create a file there: " + std::strerror(errno));
        m_targets.push_back(target);
        m_temps.push_back(temp);
        RegisterTempFile(temp);
    }
    // mkstemp makes the file private; a finished output gets the usual mode.
    ::fchmod(fd, 0666 & ~mask);
    ::close(fd);
    return temp;
}

void StagedOutputs::Publish() {
    // All files or none: a signal waits until every rename is done.
    SignalBlock block;
    for (std::size_t i = 0; i < m_temps.size(); ++i) {
        if (m_temps[i].empty()) continue;
        if (::rename(m_temps[i].c_str(), m_targets[i].c_str()) != 0)
            throw ImageIOError(m_targets[i] + ": cannot replace: " + std::strerror(errno));
        UnregisterTempFile(m_temps[i]);
        m_temps[i].clear();
    }
}

void StagedOutputs::Discard() {
    SignalBlock block;
    for (std::string& t : m_temps)
        if (!t.empty()) {
            RemoveQuietly(t);
            UnregisterTempFile(t);
            t.clear();
        }
}

std::string StagedOutputs::InTermsOfTargets(const std::string& message) const {
    for (std::size_t i = 0; i < m_temps.size(); ++i)
        if (!m_temps[i].empty() && message.compare(0, m_temps[i].size(), m_temps[i]) == 0)
            return m_targets[i] + message.substr(m_temps[i].size());
    return message;
}

void FileSet::Commit() {
    StagedOutputs staged;
    std::size_t current = 0;
    try {
        for (; current < m_items.size(); ++current) m_items[current].writer(staged.Stage(m_items[current].path));
        staged.Publish();
    } catch (const ImageIOError& e) {
        // A writer names the temporary file; the user knows the target.
        const std::string message = staged.InTermsOfTargets(e.what());
        staged.Discard();
        throw ImageIOError(message);
    } catch (const std::bad_alloc&) {
        staged.Discard();
        throw OutOfMemory("out of memory while writing " +
                          (current < m_items.size() ? m_items[current].path : std::string("the outputs")));
    }
}

void WriteTextFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw ImageIOError(path + ": cannot create: " + std::strerror(errno));
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) throw ImageIOError(path + ": cannot write");
}

}  // namespace regionfeat
