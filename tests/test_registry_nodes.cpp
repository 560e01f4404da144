// Every node of the registry against stored reference files: its two outputs on
// three scenes (the bundled sample, a small 3-D scene and a scene with NaN and
// infinite grey values), and its setup description as `regionfeat describe
// --json` prints it. A scene that a node refuses has the exception's text as its
// reference. The nodes come from the registry's own rows, so a new node is
// covered by adding its reference files:
//
//   make references        (or: REGIONFEAT_UPDATE_REFERENCES=1 build/bin/test_registry_nodes)
//
// writes tests/reference/<Node>/{sample,volume,nonfinite}.txt and describe.json
// for every node; review the changes with git diff before committing them.
#include <gtest/gtest.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <set>
#include <sstream>
#include <typeinfo>

#include "ImageIO.h"
#include "Registry.h"
#include "TestSupport.h"

using namespace KELO;
namespace fs = std::filesystem;

namespace {

const fs::path kReferences = fs::path(REGIONFEAT_SOURCE_DIR) / "tests" / "reference";
const char* const kHowToUpdate =
    "regenerate with `make references` (REGIONFEAT_UPDATE_REFERENCES=1 build/bin/test_registry_nodes), then review "
    "the changes with git diff before committing them";

bool Updating() {
    const char* e = std::getenv("REGIONFEAT_UPDATE_REFERENCES");
    return e && *e && std::strcmp(e, "0") != 0;
}

std::string ReadFile(const fs::path& path) { return test::ReadFile(path.string()); }

void WriteFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    test::WriteFile(path.string(), text);
}

// ----------------------------------------------------------------- scenes

struct Scene {
    std::string name;
    std::unique_ptr<CImage> grey, labels;
};

std::unique_ptr<CImage> FloatImage(int64_t W, int64_t H, int64_t D) {
    return std::make_unique<CImage>(IMAGE_GREY_F, CSize(W, H, D));
}

// A well-mixed hash for deterministic grey values.
uint32_t Hash(uint32_t i) {
    i ^= i >> 16;
    i *= 0x7feb352du;
    i ^= i >> 15;
    i *= 0x846ca68bu;
    i ^= i >> 16;
    return i;
}

Scene Sample() {
    Scene s{"sample", nullptr, nullptr};
    const fs::path dir = fs::path(REGIONFEAT_SOURCE_DIR) / "samples";
    s.grey = regionfeat::ToNodeImage(regionfeat::ReadImage((dir / "cells_grey.tif").string()), false, "grey");
    s.labels = regionfeat::ToNodeImage(regionfeat::ReadImage((dir / "cells_labels.tif").string()), false, "labels");
    return s;
}

// 14 x 12 x 3: label 1 a block through all planes, label 2 only in plane 2,
// label 3 missing, label 4 an L shape in planes 0 and 1 around label 5, label 6
// a single voxel at the far corner, and label 7 a diagonal line. Grey values
// 0 .. 255 with every third one a fraction.
Scene Volume() {
    constexpr int64_t W = 14, H = 12, D = 3;
    Scene s{"volume", FloatImage(W, H, D), FloatImage(W, H, D)};
    float* g = s.grey->Pixels<float>();
    float* l = s.labels->Pixels<float>();
    for (int64_t i = 0; i < W * H * D; ++i) {
        const uint32_t h = Hash(static_cast<uint32_t>(i) + 17u);
        g[i] = static_cast<float>(h % 256u) + (i % 3 == 0 ? 0.25f * static_cast<float>(h % 4u) : 0.0f);
    }
    auto at = [&](int64_t x, int64_t y, int64_t z) -> float& { return l[(z * H + y) * W + x]; };
    for (int64_t z = 0; z < D; ++z)
        for (int64_t y = 1; y <= 4; ++y)
            for (int64_t x = 1; x <= 5; ++x) at(x, y, z) = 1.0f;
    for (int64_t y = 6; y <= 10; ++y)
        for (int64_t x = 0; x <= 4; ++x) at(x, y, 2) = 2.0f;
    for (int64_t z = 0; z < 2; ++z) {
        for (int64_t y = 5; y <= 11; ++y) at(7, y, z) = 4.0f;
        for (int64_t x = 7; x <= 12; ++x) at(x, 11, z) = 4.0f;
        for (int64_t y = 6; y <= 9; ++y)
            for (int64_t x = 8; x <= 11; ++x) at(x, y, z) = 5.0f;
    }
    at(W - 1, H - 1, D - 1) = 6.0f;
    for (int64_t k = 0; k < 5; ++k) at(8 + k, k, 0) = 7.0f;
    return s;
}

// 16 x 12: six regions whose grey values include NaN, +infinity and -infinity
// (one region all NaN, one with one infinite value among ordinary ones, one
// with both infinities), next to ordinary regions and a background of NaN.
Scene NonFinite() {
    constexpr int64_t W = 16, H = 12;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    Scene s{"nonfinite", FloatImage(W, H, 1), FloatImage(W, H, 1)};
    float* g = s.grey->Pixels<float>();
    float* l = s.labels->Pixels<float>();
    for (int64_t i = 0; i < W * H; ++i) g[i] = static_cast<float>(Hash(static_cast<uint32_t>(i) + 5u) % 256u);
    auto box = [&](int64_t x0, int64_t y0, int64_t x1, int64_t y1, float label) {
        for (int64_t y = y0; y <= y1; ++y)
            for (int64_t x = x0; x <= x1; ++x) l[y * W + x] = label;
    };
    box(0, 0, 4, 4, 1.0f);    // ordinary, with one NaN inside
    box(6, 0, 9, 3, 2.0f);    // all NaN
    box(11, 0, 15, 5, 3.0f);  // one +infinity
    box(0, 6, 5, 11, 4.0f);   // +infinity and -infinity
    box(7, 5, 9, 11, 5.0f);   // ordinary
    box(11, 7, 15, 11, 6.0f); // NaN column on its left edge
    g[2 * W + 2] = nan;
    for (int64_t y = 0; y <= 3; ++y)
        for (int64_t x = 6; x <= 9; ++x) g[y * W + x] = nan;
    g[3 * W + 13] = inf;
    g[8 * W + 1] = inf;
    g[9 * W + 4] = -inf;
    g[10 * W + 2] = -inf;
    for (int64_t y = 7; y <= 11; ++y) g[y * W + 11] = nan;
    g[5 * W + 5] = nan;  // background
    return s;
}

const std::vector<Scene>& Scenes() {
    static const std::vector<Scene> scenes = [] {
        std::vector<Scene> v;
        v.push_back(Sample());
        v.push_back(Volume());
        v.push_back(NonFinite());
        return v;
    }();
    return scenes;
}

// ----------------------------------------------------------------- text form

// Shortest text that reads back as the same number; a NaN with its bits, so
// that the text is exact for every value.
template <class T>
std::string Number(T v) {
    if (std::isnan(v)) {
        using Bits = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;
        Bits bits;
        std::memcpy(&bits, &v, sizeof v);
        std::ostringstream os;
        os << "nan:0x" << std::hex << bits;
        return os.str();
    }
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, v).ptr;
    return std::string(text, end);
}

std::string Quoted(const std::string& s) {
    std::string q = "\"";
    for (char c : s) {
        if (c == '\n')
            q += "\\n";
        else if (c == '"' || c == '\\')
            (q += '\\') += c;
        else
            q += c;
    }
    return q + '"';
}

void Dump(std::ostream& out, const CValue* v, const std::string& indent);

void DumpMeta(std::ostream& out, const CValue& v, const std::string& indent) {
    if (v.HasMeta()) {
        out << indent << "meta:\n";
        for (const auto& [key, entry] : v.MetaIfAny()->Entries()) {
            out << indent << "  " << key << ": ";
            Dump(out, entry.get(), indent + "    ");
        }
    }
}

// One line per scalar; vectors of plain doubles on one line; containers and
// images with their entries indented below them.
void Dump(std::ostream& out, const CValue* v, const std::string& indent) {
    if (!v) {
        out << "none\n";
        return;
    }
    switch (v->Type()) {
        case EValueType::Bool: out << "bool " << (v->Bool() ? "true" : "false") << '\n'; break;
        case EValueType::Long: out << "long " << v->Long() << '\n'; break;
        case EValueType::Double: out << "double " << Number(v->Double()) << '\n'; break;
        case EValueType::String: out << "string " << Quoted(v->String()) << '\n'; break;
        case EValueType::Map: {
            const auto& map = static_cast<const CValueMap&>(*v);
            out << "map of " << map.Size() << '\n';
            for (const auto& [key, entry] : map.Entries()) {
                out << indent << "  " << key << ": ";
                Dump(out, entry.get(), indent + "    ");
            }
            break;
        }
        case EValueType::Vector: {
            const auto& slots = static_cast<const CValueVector&>(*v).Vector();
            bool plain = true;
            for (const auto& s : slots) plain = plain && s && s->Type() == EValueType::Double && !s->HasMeta();
            out << "vector of " << slots.size();
            if (plain && !slots.empty()) {
                out << " doubles:";
                for (const auto& s : slots) out << ' ' << Number(s->Double());
                out << '\n';
            } else {
                out << '\n';
                for (std::size_t i = 0; i < slots.size(); ++i) {
                    out << indent << "  [" << i << "] ";
                    Dump(out, slots[i].get(), indent + "    ");
                }
            }
            break;
        }
        case EValueType::Image: {
            const CImage* image = static_cast<const CValueImageBase&>(*v).Get();
            if (!image) {
                out << "image none\n";
                break;
            }
            const CSize s = image->Size();
            out << "image " << image->Type().Name() << ' ' << CPos(s).ToString() << '\n';
            if (image->Attributes().Size() > 0) {
                out << indent << "  attributes: ";
                Dump(out, &image->Attributes(), indent + "    ");
            }
            if (image->Type() != IMAGE_GREY_F) break;
            const float* px = image->Pixels<float>();
            for (int64_t row = 0; row < s.y * s.z; ++row) {
                out << indent << "  row " << row << ':';
                for (int64_t x = 0; x < s.x; ++x) out << ' ' << Number(px[row * s.x + x]);
                out << '\n';
            }
            break;
        }
    }
    DumpMeta(out, *v, indent);
}

// What a run of the node on the scene gives: both outputs, or the failure.
std::string RunText(const registry::Row& row, const Scene& scene) {
    std::unique_ptr<CPNode> node(row.create());
    CValuePointer<CImage> grey(scene.grey.get()), labels(scene.labels.get());
    node->SetStackInput(0, &grey);
    node->SetStackInput(1, &labels);
    std::ostringstream out;
    out << row.name << " on " << scene.name << '\n';
    try {
        node->ReadParameters();
        node->Run();
    } catch (const CException& e) {
        // The source line of a check is left out: it moves with every edit of the file.
        if (const Impl::StExLocation* at = e.SourceLocation())
            out << "refused: CException at " << at->file << " in " << at->function << ": " << e.Message() << '\n';
        else
            out << "refused: CException: " << e.Location() << ": " << e.Message() << '\n';
        return out.str();
    } catch (const std::exception& e) {
        out << "refused: " << e.what() << '\n';
        return out.str();
    }
    for (int i = 0; i < 2; ++i) {
        out << "output " << i << ": ";
        Dump(out, node->StackOutput(i), "");
    }
    return out.str();
}

std::string DescribeJson(const std::string& name) {
    const test::ProgramResult r =
        test::RunProgram(REGIONFEAT_BIN, {"--module", REGIONFEAT_MODULE, "describe", "--json", name});
    return r.out + r.err + (r.status != 0 ? "<exit status " + std::to_string(r.status) + ">" : "");
}

// Equal texts, or a failure naming the first line that differs.
void ExpectSame(const std::string& expected, const std::string& actual, const fs::path& file) {
    if (expected == actual) return;
    std::istringstream a(expected), b(actual);
    std::string la, lb;
    int line = 1;
    for (;; ++line) {
        const bool ga = static_cast<bool>(std::getline(a, la)), gb = static_cast<bool>(std::getline(b, lb));
        if (!ga || !gb || la != lb) {
            if (!ga) la = "<end of file>";
            if (!gb) lb = "<end of output>";
            break;
        }
    }
    ADD_FAILURE() << fs::relative(file, REGIONFEAT_SOURCE_DIR).string() << " differs at line " << line
                  << ":\n  reference: " << la.substr(0, 300) << "\n  now:       " << lb.substr(0, 300) << "\nIf the "
                  << "change is intended, " << kHowToUpdate << '.';
}

std::vector<const registry::Row*> Nodes() {
    std::size_t n = 0;
    const registry::Row* rows = registry::Rows(n);
    std::vector<const registry::Row*> out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(&rows[i]);
    return out;
}

const char* const kDescribeFile = "describe.json";

}  // namespace

TEST(RegistryNodes, OutputsAndSetupEqualTheirReferences) {
    const bool update = Updating();
    for (const registry::Row* row : Nodes()) {
        SCOPED_TRACE(row->name);
        const fs::path dir = kReferences / row->name;
        if (!update && !fs::is_directory(dir)) {
            ADD_FAILURE() << "Node " << row->name << " has no reference files in "
                          << fs::relative(dir, REGIONFEAT_SOURCE_DIR).string() << "; " << kHowToUpdate << '.';
            continue;
        }
        std::vector<std::pair<fs::path, std::string>> results;
        for (const Scene& scene : Scenes()) results.emplace_back(dir / (scene.name + ".txt"), RunText(*row, scene));
        results.emplace_back(dir / kDescribeFile, DescribeJson(row->name));
        for (const auto& [file, text] : results) {
            if (update) {
                if (ReadFile(file) != text) WriteFile(file, text);
            } else if (!fs::exists(file)) {
                ADD_FAILURE() << "Missing reference file " << fs::relative(file, REGIONFEAT_SOURCE_DIR).string() << "; "
                              << kHowToUpdate << '.';
            } else {
                ExpectSame(ReadFile(file), text, file);
            }
        }
    }
}

TEST(RegistryNodes, EveryReferenceBelongsToARegisteredNodeAndScene) {
    std::set<std::string> names, files{kDescribeFile};
    for (const registry::Row* row : Nodes()) names.insert(row->name);
    for (const Scene& scene : Scenes()) files.insert(scene.name + ".txt");
    if (!fs::is_directory(kReferences)) return;  // the test above names every node without files
    for (const auto& entry : fs::directory_iterator(kReferences)) {
        const std::string name = entry.path().filename().string();
        if (!names.count(name)) {
            ADD_FAILURE() << "tests/reference/" << name << " belongs to no registered node; remove it.";
            continue;
        }
        for (const auto& f : fs::directory_iterator(entry.path()))
            EXPECT_TRUE(files.count(f.path().filename().string()))
                << "tests/reference/" << name << '/' << f.path().filename().string() << " is no reference file";
    }
}

TEST(RegistryNodes, EachRowCreatesItsNodeIsListedUnderItsKeyAndDescribesItsCurrentParameters) {
    std::unique_ptr<CValueVector> listing(registry::List());
    std::size_t listed = 0;
    for (const registry::Row* row : Nodes()) {
        SCOPED_TRACE(row->name);
        std::unique_ptr<CPNode> made(row->create()), byName(registry::Create(row->name));
        ASSERT_NE(byName, nullptr);
        EXPECT_EQ(typeid(*made), typeid(*byName));
        if (row->listKey >= 0) {
            ++listed;
            const CValue* entry = listing->Entry(row->listKey);
            EXPECT_TRUE(entry && entry->String() == row->name);
        }
        byName->Parameters().SetEntry("verbose", new CValueBool(true));
        byName->ReadParameters();
        CValueMap setup;
        byName->GetPluginSetup(setup);
        EXPECT_TRUE(setup.EntryBool("parameters/verbose", false));
    }
    std::size_t entries = 0;
    for (const auto& slot : listing->Vector()) entries += slot ? 1 : 0;
    EXPECT_EQ(entries, listed) << "the listing holds the listed rows and nothing else";
}
