#include "TableWriter.h"

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>

#include "Errors.h"
#include "TiffIO.h"
#include <nlohmann/json.hpp>

namespace regionfeat {

namespace {

constexpr uint32_t kExactFloatLimit = 16777216;  // 2^24: float32 holds every whole number up to here
constexpr std::size_t kNpyHeaderBytes = 128;

std::string Quoted(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::string NpyMatrixHeader(uint64_t rows, uint64_t columns) {
    const char* descr = std::endian::native == std::endian::little ? "<f4" : ">f4";
    std::string dict = std::string("{'descr': '") + descr + "', 'fortran_order': False, 'shape': (" +
                       std::to_string(rows) + ", " + std::to_string(columns) + "), }";
    const std::size_t length = kNpyHeaderBytes - 10;
    dict.resize(length - 1, ' ');
    dict += '\n';
    std::string header("\x93NUMPY\x01\x00", 8);
    header += static_cast<char>(length & 0xff);
    header += static_cast<char>(length >> 8);
    return header + dict;
}

// One output format. Every sink gets the same calls: Begin once, Row per row,
// Finish once; a failure throws ImageIOError naming the file written.
class TableWriter::Sink {
public:
    virtual ~Sink() = default;
    virtual void Begin(const TableShape& shape) = 0;
    virtual void Row(const std::string& image, uint64_t imageIndex, uint32_t label, const float* features) = 0;
    virtual void Finish() = 0;
    virtual std::string Warning() const { return {}; }
};

namespace {

// CSV or TSV into a stream: a file of its own or standard output.
class DelimitedSink : public TableWriter::Sink {
public:
    DelimitedSink(std::ostream& out, char separator, std::string name)
        : m_out(out), m_separator(separator), m_name(std::move(name)) {}

    void Begin(const TableShape& shape) override {
        m_columns = shape.features.size();
        m_withImage = shape.withImage;
        m_line = shape.withImage ? std::string("image") + m_separator + "label" : std::string("label");
        for (const std::string& name : shape.features) {
            m_line += m_separator;
            m_line += Field(name);
        }
        Put();
    }
    void Row(const std::string& image, uint64_t, uint32_t label, const float* features) override {
        m_line.clear();
        if (m_withImage) {
            m_line += Field(image);
            m_line += m_separator;
        }
        m_line += std::to_string(label);
        for (std::size_t c = 0; c < m_columns; ++c) {
            m_line += m_separator;
            m_line += FormatFloat(features[c]);
        }
        Put();
    }
    void Finish() override {
        m_out.flush();
        if (!m_out) Failed();
    }

protected:
    virtual void Failed() { throw ImageIOError(m_name + ": cannot write: " + std::strerror(errno)); }

private:
    std::string Field(const std::string& s) const { return m_separator == ',' ? CsvField(s) : TsvField(s); }
    void Put() {
        m_line += '\n';
        m_out.write(m_line.data(), static_cast<std::streamsize>(m_line.size()));
        if (!m_out) Failed();
    }

    std::ostream& m_out;
    char m_separator;
    std::string m_name;
    std::size_t m_columns = 0;
    bool m_withImage = false;
    std::string m_line;
};

// Opens a stream on a temporary file for the sinks that write text.
class FileStream {
protected:
    explicit FileStream(const std::string& path) : m_path(path) {
        m_file.rdbuf()->pubsetbuf(m_buffer.data(), static_cast<std::streamsize>(m_buffer.size()));
        m_file.open(path, std::ios::binary | std::ios::trunc);
        if (!m_file) throw ImageIOError(path + ": cannot create: " + std::strerror(errno));
    }
    void CloseFile() {
        m_file.close();
        if (!m_file) throw ImageIOError(m_path + ": cannot write: " + std::strerror(errno));
    }
    std::string m_path;
    std::vector<char> m_buffer = std::vector<char>(1 << 20);
    std::ofstream m_file;
};

class DelimitedFileSink : private FileStream, public DelimitedSink {
public:
    DelimitedFileSink(const std::string& path, char separator)
        : FileStream(path), DelimitedSink(m_file, separator, path) {}
    void Finish() override {
        DelimitedSink::Finish();
        CloseFile();
    }
};

class JsonSink : private FileStream, public TableWriter::Sink {
public:
    explicit JsonSink(const std::string& path) : FileStream(path) {}

    void Begin(const TableShape& shape) override {
        m_columns = shape.features.size();
        m_withImage = shape.withImage;
        std::string line = "{\"columns\": [";
        line += shape.withImage ? "\"image\", \"label\"" : "\"label\"";
        for (const std::string& name : shape.features) line += ", " + Quoted(name);
        line += "],\n\"rows\": [";
        Put(line);
    }
    void Row(const std::string& image, uint64_t, uint32_t label, const float* features) override {
        m_line = m_first ? "\n[" : ",\n[";
        m_first = false;
        if (m_withImage) m_line += Quoted(image) + ", ";
        m_line += std::to_string(label);
        for (std::size_t c = 0; c < m_columns; ++c) {
            m_line += ", ";
            m_line += std::isfinite(features[c]) ? FormatFloat(features[c]) : "null";
        }
        m_line += ']';
        Put(m_line);
    }
    void Finish() override {
        Put("\n]}\n");
        CloseFile();
    }

private:
    void Put(const std::string& text) {
        m_file.write(text.data(), static_cast<std::streamsize>(text.size()));
        if (!m_file) throw ImageIOError(m_path + ": cannot write: " + std::strerror(errno));
    }
    std::size_t m_columns = 0;
    bool m_withImage = false, m_first = true;
    std::string m_line;
};

// The float32 matrix of the NPY and TIFF outputs: the image index (batch),
// the label, then the features. Labels beyond 2^24 are not exact in it.
class MatrixSink : public TableWriter::Sink {
public:
    explicit MatrixSink(std::string path) : m_path(std::move(path)) {}
    void Begin(const TableShape& shape) override {
        m_withImage = shape.withImage;
        m_row.resize((shape.withImage ? 2 : 1) + shape.features.size());
        Start(shape, m_row.size());
    }
    void Row(const std::string&, uint64_t imageIndex, uint32_t label, const float* features) override {
        float* to = m_row.data();
        if (m_withImage) {
            *to++ = static_cast<float>(imageIndex);
            m_inexact = m_inexact || imageIndex > kExactFloatLimit;
        }
        *to++ = static_cast<float>(label);
        m_inexact = m_inexact || label > kExactFloatLimit;
        std::copy(features, features + (m_row.data() + m_row.size() - to), to);
        Append(m_row.data());
        ++m_rows;
    }
    std::string Warning() const override {
        if (!m_inexact) return {};
        return m_path + ": labels above 16777216 are rounded in its float32 matrix; the CSV, TSV and JSON outputs "
                        "hold them exactly";
    }

protected:
    virtual void Start(const TableShape& shape, std::size_t columns) = 0;
    virtual void Append(const float* row) = 0;
    std::string m_path;
    uint64_t m_rows = 0;
    std::size_t Width() const { return m_row.size(); }

private:
    bool m_withImage = false, m_inexact = false;
    std::vector<float> m_row;
};

class NpySink : public MatrixSink {
public:
    explicit NpySink(const std::string& path) : MatrixSink(path) {
        m_file = std::fopen(path.c_str(), "wb");
        if (!m_file) throw ImageIOError(path + ": cannot create: " + std::strerror(errno));
        std::setvbuf(m_file, nullptr, _IOFBF, 1 << 20);
    }
    ~NpySink() override {
        if (m_file) std::fclose(m_file);
    }
    void Finish() override {
        // The row count is known now: the header is written again, same length.
        const std::string header = NpyMatrixHeader(m_rows, Width());
        const bool ok = std::fflush(m_file) == 0 && std::fseek(m_file, 0, SEEK_SET) == 0 &&
                        std::fwrite(header.data(), 1, header.size(), m_file) == header.size();
        const int closed = std::fclose(m_file);
        m_file = nullptr;
        if (!ok || closed != 0) Failed();
    }

private:
    void Start(const TableShape&, std::size_t columns) override {
        const std::string header = NpyMatrixHeader(0, columns);
        if (std::fwrite(header.data(), 1, header.size(), m_file) != header.size()) Failed();
    }
    void Append(const float* row) override {
        if (std::fwrite(row, sizeof(float), Width(), m_file) != Width()) Failed();
    }
    [[noreturn]] void Failed() { throw ImageIOError(m_path + ": cannot write: " + std::strerror(errno)); }
    std::FILE* m_file = nullptr;
};

class TiffSink : public MatrixSink {
public:
    explicit TiffSink(const std::string& path) : MatrixSink(path) {}
    void Finish() override { m_writer->Close(); }

private:
    void Start(const TableShape& shape, std::size_t columns) override {
        if (columns > UINT32_MAX) throw ImageIOError(m_path + ": a table of more than 2^32 - 1 columns");
        m_writer = std::make_unique<TiffRowWriter>(m_path, static_cast<uint32_t>(columns), SampleType::F32,
                                                   shape.bigTiff);
    }
    void Append(const float* row) override { m_writer->Append(row, 1); }
    std::unique_ptr<TiffRowWriter> m_writer;
};

}  // namespace

TableWriter::TableWriter(const std::vector<OutputFile>& files, std::ostream& out) : m_files(files), m_out(out) {}

TableWriter::~TableWriter() {
    // The sinks close their files before the staged files are removed.
    m_sinks.clear();
}

void TableWriter::Begin(const TableShape& shape) {
    m_shape = shape;
    try {
        if (m_files.empty()) {
            m_sinks.push_back(std::make_unique<DelimitedSink>(m_out, ',', "standard output"));
        } else {
            for (const OutputFile& f : m_files) {
                const std::string temp = m_staged.Stage(f.path);
                switch (f.kind) {
                    case OutputKind::Csv: m_sinks.push_back(std::make_unique<DelimitedFileSink>(temp, ',')); break;
                    case OutputKind::Tsv: m_sinks.push_back(std::make_unique<DelimitedFileSink>(temp, '\t')); break;
                    case OutputKind::Json: m_sinks.push_back(std::make_unique<JsonSink>(temp)); break;
                    case OutputKind::Npy: m_sinks.push_back(std::make_unique<NpySink>(temp)); break;
                    case OutputKind::Tiff: m_sinks.push_back(std::make_unique<TiffSink>(temp)); break;
                }
            }
        }
        for (auto& sink : m_sinks) sink->Begin(shape);
    } catch (const ImageIOError& e) {
        throw ImageIOError(m_staged.InTermsOfTargets(e.what()));
    } catch (const std::bad_alloc&) {
        throw OutOfMemory("out of memory while writing the table");
    }
    m_begun = true;
}

void TableWriter::Row(const std::string& image, uint64_t imageIndex, uint32_t label, const float* features) {
    try {
        for (auto& sink : m_sinks) sink->Row(image, imageIndex, label, features);
    } catch (const ImageIOError& e) {
        throw ImageIOError(m_staged.InTermsOfTargets(e.what()));
    } catch (const std::bad_alloc&) {
        throw OutOfMemory("out of memory while writing the table");
    }
}

std::vector<std::string> TableWriter::Finish() {
    std::vector<std::string> warnings;
    try {
        for (auto& sink : m_sinks) {
            sink->Finish();
            if (std::string w = sink->Warning(); !w.empty()) warnings.push_back(m_staged.InTermsOfTargets(w));
        }
        m_sinks.clear();
        m_staged.Publish();
    } catch (const ImageIOError& e) {
        throw ImageIOError(m_staged.InTermsOfTargets(e.what()));
    } catch (const std::bad_alloc&) {
        throw OutOfMemory("out of memory while writing the table");
    }
    return warnings;
}

}  // namespace regionfeat
