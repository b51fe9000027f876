#include "mapout/index_check.h"

#include "common/text.h"
#include "mapout/block_index.h"
#include "mapout/gdal_support.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <system_error>
#include <vector>

namespace tessaro::mapout {

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kShapeHeaderBytes = 100;
constexpr std::int64_t kShxRecordBytes = 8;
constexpr unsigned char kFieldsEnd = 0x0D;

// The first bytes of a file (fewer when it is shorter); empty when it cannot be read.
std::vector<unsigned char> Head(const fs::path &path, std::size_t bytes) {
    std::vector<unsigned char> head(bytes);
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char *>(head.data()), static_cast<std::streamsize>(bytes));
    head.resize(in ? bytes : static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return head;
}

std::uint32_t BigEndian32(const std::vector<unsigned char> &b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
           static_cast<std::uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

std::uint32_t LittleEndian(const std::vector<unsigned char> &b, std::size_t at, int bytes) {
    std::uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        value = value << 8 | b[at + static_cast<std::size_t>(i)];
    }
    return value;
}

std::string Sizes(std::string what, std::int64_t actual, std::int64_t expected) {
    what += " holds ";
    AppendInt(what, actual);
    what += " bytes where its header calls for ";
    AppendInt(what, expected);
    return what;
}

// A companion of the main file: its extension in lower case, else in capitals (as typed).
fs::path Companion(const fs::path &shp, const char *lower, const char *upper) {
    fs::path file = shp;
    file.replace_extension(lower);
    std::error_code ec;
    if (!fs::exists(file, ec)) {
        file.replace_extension(upper);
    }
    return file;
}

// The main file or the index file: a shape file header whose length (in 16-bit words) is
// the file's size. Returns the problem, or empty.
std::string ShapeFileProblem(const fs::path &file, std::int64_t size) {
    const auto head = Head(file, kShapeHeaderBytes);
    const std::string name = "the file " + file.filename().string();
    if (head.size() < kShapeHeaderBytes || BigEndian32(head, 0) != 9994) {
        return name + " has no shapefile header";
    }
    const std::int64_t expected = 2 * static_cast<std::int64_t>(BigEndian32(head, 24));
    return size == expected ? std::string() : Sizes(name, size, expected);
}

// The dBase table: record count, header and record sizes, and field descriptions that end
// where the header says and add up to the record size (after the deletion mark).
std::string TableProblem(const fs::path &dbf, std::int64_t records) {
    std::error_code ec;
    const auto size = static_cast<std::int64_t>(fs::file_size(dbf, ec));
    const std::string name = "the table " + dbf.filename().string();
    auto head = Head(dbf, 32);
    if (ec || head.size() < 32) {
        return name + " has no dBase header";
    }
    const std::int64_t count = LittleEndian(head, 4, 4);
    const std::int64_t headerBytes = LittleEndian(head, 8, 2);
    const std::int64_t recordBytes = LittleEndian(head, 10, 2);
    if (count != records) {
        std::string text = name + " counts ";
        AppendInt(text, count);
        text += " records where the index file has ";
        AppendInt(text, records);
        return text;
    }
    const std::int64_t expected = headerBytes + count * recordBytes;
    if (size != expected && size != expected + 1) {
        return Sizes(name, size, expected);
    }
    head = Head(dbf, static_cast<std::size_t>(headerBytes));
    std::int64_t fieldBytes = 1; // the deletion mark of each record
    std::size_t at = 32;
    while (at + 32 <= head.size() && head[at] != kFieldsEnd) {
        fieldBytes += head[at + 16];
        at += 32;
    }
    if (at >= head.size() || head[at] != kFieldsEnd || fieldBytes != recordBytes) {
        return name + " has field descriptions that do not match its records";
    }
    return {};
}

std::string ShapefileProblem(const fs::path &shp) {
    const fs::path shx = Companion(shp, ".shx", ".SHX");
    const fs::path dbf = Companion(shp, ".dbf", ".DBF");
    std::error_code ec;
    const auto shpSize = static_cast<std::int64_t>(fs::file_size(shp, ec));
    const auto shxSize = static_cast<std::int64_t>(fs::file_size(shx, ec));
    if (ec) {
        return "the index file " + shx.filename().string() + " cannot be read";
    }
    std::string problem = ShapeFileProblem(shp, shpSize);
    if (problem.empty()) {
        problem = ShapeFileProblem(shx, shxSize);
    }
    if (problem.empty() && (shxSize - kShapeHeaderBytes) % kShxRecordBytes != 0) {
        problem = "the index file " + shx.filename().string() + " ends inside a record";
    }
    if (problem.empty()) {
        problem = TableProblem(dbf, (shxSize - kShapeHeaderBytes) / kShxRecordBytes);
    }
    return problem;
}

std::string QuickCheckProblem(GDALDataset &database) {
    GdalErrorCapture capture;
    OGRLayer *result = database.ExecuteSQL("PRAGMA quick_check", nullptr, nullptr);
    if (result == nullptr) {
        return WithReason("SQLite cannot check the database", capture.Message());
    }
    OGRFeatureUniquePtr row(result->GetNextFeature());
    const std::string answer = row ? row->GetFieldAsString(0) : "no answer";
    database.ReleaseResultSet(result);
    return answer == "ok" ? std::string() : "SQLite finds the database damaged: " + answer;
}

const char *TypeWord(FieldType type) {
    switch (type) {
    case FieldType::Integer:
        return "a whole number";
    case FieldType::Double:
        return "a real number";
    case FieldType::Text:
        break;
    }
    return "text";
}

bool HasType(OGRFieldType actual, FieldType wanted) {
    switch (wanted) {
    case FieldType::Integer:
        return actual == OFTInteger || actual == OFTInteger64;
    case FieldType::Double:
        return actual == OFTReal;
    case FieldType::Text:
        break;
    }
    return actual == OFTString;
}

std::string FieldProblem(OGRLayer &layer) {
    const OGRFeatureDefn &defn = *layer.GetLayerDefn();
    for (const BlockField &field : kBlockFields) {
        const int i = defn.GetFieldIndex(std::string(field.name).c_str());
        if (i >= 0 && !HasType(defn.GetFieldDefn(i)->GetType(), field.type)) {
            return "its field " + std::string(defn.GetFieldDefn(i)->GetNameRef()) + " is not " +
                   TypeWord(field.type);
        }
    }
    return {};
}

std::string ReadingProblem(OGRLayer &layer) {
    GdalErrorCapture capture;
    layer.ResetReading();
    std::int64_t read = 0;
    for (OGRFeatureUniquePtr feature(layer.GetNextFeature()); feature && !capture.HasFailure();
         feature.reset(layer.GetNextFeature())) {
        ++read;
    }
    layer.ResetReading();
    if (!capture.HasFailure()) {
        return {};
    }
    std::string text = "record ";
    AppendInt(text, read + 1);
    return WithReason(text + " cannot be read", capture.Message());
}

} // namespace

std::string IndexDamage(FeatureClass &index) {
    std::string problem;
    const std::string driver = index.Dataset().GetDriverName();
    if (index.Kind() == WorkspaceKind::FileSystem) {
        problem = ShapefileProblem(index.Dataset().GetDescription());
    } else if (driver == "GPKG") {
        problem = QuickCheckProblem(index.Dataset());
    }
    if (problem.empty()) {
        problem = ReadingProblem(index.Layer());
    }
    if (problem.empty()) {
        problem = FieldProblem(index.Layer());
    }
    return problem;
}

std::string IndexDisplayName(const FeatureClass &index) {
    std::string name = index.Dataset().GetDescription();
    if (index.Kind() != WorkspaceKind::FileSystem) {
        name += '/';
        name += index.Name();
    }
    return name;
}

} // namespace tessaro::mapout
