// The host value model: path keys, defaults, ownership, clones and images.
#include <gtest/gtest.h>

#include <limits>
#include <thread>

#include "TestSupport.h"
#include "kelo/Node.h"

using namespace KELO;

namespace {
// Counts live instances so ownership mistakes show as a wrong count.
int g_alive = 0;
class CountedValue : public CValueLong {
public:
    CountedValue() : CValueLong(7) { ++g_alive; }
    CountedValue(const CountedValue& o) : CValueLong(o) { ++g_alive; }
    ~CountedValue() override { --g_alive; }
    CValue* Clone() const override { return new CountedValue(*this); }
};
}  // namespace

TEST(ValueMap, PathKeysNameNestedEntriesAndCreateIntermediateMaps) {
    CValueMap setup;
    setup.SetEntry("parameters/verbose", new CValueBool(true));
    setup.SetEntry("parameters/m_dx", new CValueLong(3));
    ASSERT_TRUE(setup.HasEntry("parameters"));
    EXPECT_EQ(setup.Entry("parameters")->Type(), EValueType::Map);
    EXPECT_TRUE(setup.EntryBool("parameters/verbose", false));
    EXPECT_EQ(setup.EntryLong("parameters/m_dx", 0), 3);
    EXPECT_FALSE(setup.HasEntry("parameters/absent"));
    EXPECT_FALSE(setup.HasEntry("absent/verbose"));
    // A path through a vector uses the integer segment as index.
    setup.SetEntry("names", new CValueVector(2));
    setup.SetEntry("names/1", new CValueString("b"));
    EXPECT_EQ(test::Text(setup, "names/1"), "b");
    EXPECT_EQ(setup.Entry("names/0"), nullptr);
}

TEST(ValueMap, KeepsInsertionOrderAndReplacesInPlace) {
    CValueMap m;
    m.SetEntry("b", new CValueLong(1));
    m.SetEntry("a", new CValueLong(2));
    m.SetEntry(0, new CValueLong(3));  // integer keys become their decimal text
    m.SetEntry("b", new CValueLong(4));
    ASSERT_EQ(m.Size(), 3u);
    EXPECT_EQ(m.Entries()[0].first, "b");
    EXPECT_EQ(m.Entries()[0].second->Long(), 4);
    EXPECT_EQ(m.Entries()[1].first, "a");
    EXPECT_EQ(m.Entries()[2].first, "0");
    EXPECT_TRUE(m.HasEntry("0"));
}

TEST(ValueMap, EntryDefaultsApplyOnlyWhenAbsent) {
    CValueMap m;
    EXPECT_TRUE(m.EntryBool("x", true));
    EXPECT_EQ(m.EntryLong("x", -5), -5);
    EXPECT_EQ(m.EntryString("x", "dflt"), "dflt");
    m.SetEntry("flag", new CValueBool(false));
    m.SetEntry("n", new CValueLong(12));
    m.SetEntry("s", new CValueString("text", 2));
    EXPECT_FALSE(m.EntryBool("flag", true));
    EXPECT_EQ(m.EntryLong("n", 0), 12);
    EXPECT_EQ(m.EntryString("s", ""), "te");
    // A string read as a number is a type error, not a silent default.
    EXPECT_THROW(m.EntryLong("s", 0), CException);
    EXPECT_THROW(m.EntryString("n", ""), CException);
    // A double read as a long is truncated toward zero, and refused where no long holds it.
    m.SetEntry("d", new CValueDouble(-2147483648.9));
    EXPECT_EQ(m.EntryLong("d", 0), INT32_MIN);
    for (double bad : {2147483648.0, -2147483649.0, std::numeric_limits<double>::quiet_NaN()}) {
        m.SetEntry("d", new CValueDouble(bad));
        EXPECT_THROW(m.EntryLong("d", 0), CException) << bad;
    }
}

TEST(ValueVector, SizedSlotsStayEmptyAndGrowOnDemand) {
    CValueVector v(3);
    EXPECT_EQ(v.Size(), 3u);
    v.SetEntry(1, new CValueDouble(0.5));
    v.SetEntry(5, new CValueDouble(1.5));
    EXPECT_EQ(v.Size(), 6u);
    EXPECT_EQ(v.Vector()[0], nullptr);
    EXPECT_DOUBLE_EQ(v.Entry(1)->Double(), 0.5);
    EXPECT_THROW(v.SetEntry("abc", new CValueLong(1)), CException);
    EXPECT_THROW(v.SetEntry(-1, new CValueLong(1)), CException);
}

TEST(ValueOwnership, ContainersDeleteWhatTheyTakeAndClonesAreDeep) {
    g_alive = 0;
    {
        CValueMap m;
        m.SetEntry("a", new CountedValue());
        m.SetEntry("a", new CountedValue());  // replaces: the first one dies
        EXPECT_EQ(g_alive, 1);
        m.Meta().SetEntry("m", new CountedValue());
        m.SetEntry("none", nullptr);  // an entry without a value is copied as such
        std::unique_ptr<CValue> copy(m.Clone());
        EXPECT_EQ(g_alive, 4);
        // The copy is independent of the original.
        m.SetEntry("a", new CValueLong(1));
        EXPECT_EQ(static_cast<CValueMap*>(copy.get())->Entry("a")->Long(), 7);
        EXPECT_EQ(copy->MetaIfAny()->Entry("m")->Long(), 7);
        EXPECT_EQ(static_cast<CValueMap*>(copy.get())->Entries().back().second, nullptr);
        {
            struct Dummy : CPNode {
                void Run() override {}
            } node;
            node.Init(static_cast<CValueMap*>(copy.get()));  // parameters are cloned into the node's map
            EXPECT_EQ(g_alive, 4);
        }
        // A failed SetEntry still owns, and deletes, its value.
        CValueVector v;
        EXPECT_THROW(v.SetEntry("x", new CountedValue()), CException);
        EXPECT_EQ(g_alive, 3);
    }
    EXPECT_EQ(g_alive, 0);
}

TEST(ValueImages, OwnedPointerOwnsBorrowedDoesNotAndUnwrapChecks) {
    auto* image = new CImage(IMAGE_GREY_F, CSize(2, 2, 1));
    image->Pixels<float>()[3] = 9.0f;
    image->Attributes().SetEntry("Image/ContentType", new CValueString("table"));
    {
        CValuePointer<CImage> borrowed(image);
        EXPECT_EQ(UnwrapImage(&borrowed), image);
    }
    CValueOwnedPointer<CImage> owned(image, 1);
    std::unique_ptr<CValue> copy(owned.Clone());
    CImage* copied = UnwrapImage(copy.get());
    EXPECT_NE(copied, image);
    EXPECT_EQ(copied->Pixels<float>()[3], 9.0f);
    EXPECT_EQ(test::Text(copied->Attributes(), "Image/ContentType"), "table");

    CValueOwnedPointer<CImage> none(nullptr, 1);
    EXPECT_THROW(UnwrapImage(&none), CException);
    CValueLong notAnImage(1);
    EXPECT_THROW(UnwrapImage(&notAnImage), CException);
    EXPECT_THROW(UnwrapImage(nullptr), CException);
    // Sizes whose pixel or byte count wraps around are refused, not allocated short.
    EXPECT_THROW(CImage(IMAGE_GREY_F, CSize(1LL << 62, 1, 1)), CException);
    EXPECT_THROW(CImage(IMAGE_GREY_8, CSize(1LL << 32, 1LL << 32, 1)), CException);
}

TEST(ValuePool, BlocksOfAnEndedThreadAreTakenOverByOthers) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "values come straight from the heap under the address sanitizer";
#else
    const void* block = nullptr;
    std::thread([&] {
        std::unique_ptr<CValue> v(new CValueDouble(1.0));
        block = v.get();
    }).join();
    // This thread runs through its own free blocks, then reaches the ended thread's.
    std::vector<std::unique_ptr<CValue>> held;
    bool reused = false;
    for (int i = 0; i < (1 << 20) && !reused; ++i) {
        held.emplace_back(new CValueDouble(i));
        reused = held.back().get() == block;
    }
    EXPECT_TRUE(reused);
#endif
}

TEST(Texts, ArgFillsLowestPlaceholderAndPosPrintsSizes) {
    CString s = CString("Input and label image have differing sizes: %1 vs %2")
                    .Arg(CPos(CSize(3, 4, 1)).ToString())
                    .Arg(CPos(CSize(3, 4, 2)).ToString());
    EXPECT_EQ(s, "Input and label image have differing sizes: (3, 4, 1) vs (3, 4, 2)");
    EXPECT_EQ(CString("%2-%1-%1").Arg(1LL), "%2-1-1");
    EXPECT_EQ(CString("%1 and %12").Arg(5LL), "5 and %12");
    EXPECT_EQ(CString("no placeholder").Arg(1LL), "no placeholder");
    EXPECT_EQ(CString("%1 of %2").Arg(-3).Arg(std::size_t{18446744073709551615u}), "-3 of 18446744073709551615");
}

TEST(NodeBase, StackOutputsAreOwnedAndInputsBorrowed) {
    struct Dummy : CPNode {
        void Run() override {}
    } node;
    g_alive = 0;
    CountedValue input;
    node.SetStackInput(0, &input);
    EXPECT_EQ(node.GetStackInput(0, false), &input);
    EXPECT_EQ(node.GetStackInput(1, false), nullptr);
    EXPECT_TRUE(node.HasStackInput(0));
    EXPECT_FALSE(node.HasStackInput(1));
    node.SetStackOutput(0, new CountedValue());
    node.SetStackOutput(0, new CountedValue());  // replaces and deletes the old output
    EXPECT_EQ(g_alive, 2);
    std::unique_ptr<CValue> taken(node.TakeStackOutput(0));
    EXPECT_EQ(node.StackOutput(0), nullptr);
    taken.reset();
    EXPECT_EQ(g_alive, 1);
    node.SetStackInput(0, nullptr);
    EXPECT_FALSE(node.HasStackInput(0));
}
