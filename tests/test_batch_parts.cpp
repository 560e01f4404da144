// The pieces a batch is built from: the image pairs (list files, globs, the
// check that they exist), the ordered parallel runner, and the progress
// output in its modes.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "BatchInputs.h"
#include "Errors.h"
#include "OrderedWork.h"
#include "Progress.h"
#include "TestSupport.h"

using namespace regionfeat;

namespace {

using test::TempDir;
using test::WriteFile;

template <class Fn>
std::string Usage(Fn&& fn) {
    return test::MessageOf<UsageError>(fn);
}

std::vector<std::pair<std::string, std::string>> AsPairs(const std::vector<ImagePair>& pairs) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& p : pairs) out.emplace_back(p.image, p.labels);
    return out;
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

// The message fn throws starts with prefix.
template <class Fn>
void ExpectUsageStart(Fn&& fn, const std::string& prefix) {
    const std::string got = Usage(fn);
    EXPECT_EQ(got.substr(0, prefix.size()), prefix) << got;
}

// The current directory changed for its lifetime.
class InDirectory {
public:
    explicit InDirectory(const std::string& path) : m_saved(std::filesystem::current_path()) {
        std::filesystem::current_path(path);
    }
    ~InDirectory() { std::filesystem::current_path(m_saved); }

private:
    std::filesystem::path m_saved;
};

// ---------------------------------------------------------------- list files

TEST(PairList, ReadsSpreadsheetCsv) {
    TempDir dir;
    const std::string list = dir / "list.csv";
    // Byte-order mark, CRLF, header in another order and case with blanks and
    // an extra column, quoted fields with commas, doubled quotes and a line
    // break, a blank line, a row of empty fields, an absolute path.
    WriteFile(list,
              "\xEF\xBB\xBF"
              "Note, LABELS ,\" Image\"\r\n"
              "first,a_lab.tif,a.tif\r\n"
              "\r\n"
              ",,\r\n"
              "\"x, y\",\"b,lab.tif\",  \"say \"\"b\"\".tif\"  \r\n"
              "z,/abs/c_lab.tif,\"multi\nline.tif\"\n"
              "last, sub/d_lab.tif , sub/d.tif");
    const std::string d = dir.Path();
    EXPECT_EQ(AsPairs(ReadPairList(list)), (Pairs{{d + "/a.tif", d + "/a_lab.tif"},
                                                   {d + "/say \"b\".tif", d + "/b,lab.tif"},
                                                   {d + "/multi\nline.tif", "/abs/c_lab.tif"},
                                                   {d + "/sub/d.tif", d + "/sub/d_lab.tif"}}));
}

TEST(PairList, PathsBesideAListInTheCurrentDirectoryStayAsWritten) {
    TempDir dir;
    std::vector<ImagePair> pairs;
    {
        InDirectory cwd(dir.Path());
        WriteFile("here.csv", "image,labels\na.tif,l/a.tif\n");
        pairs = ReadPairList("here.csv");
    }
    EXPECT_EQ(AsPairs(pairs), (Pairs{{"a.tif", "l/a.tif"}}));
}

TEST(PairList, RefusesFaultyListsNamingFileAndLine) {
    TempDir dir;
    const std::string list = dir / "l.csv";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", list + ": the list is empty"},
        {"\n \n,,\n", list + ": the list is empty"},
        {"image,labels\n\n", list + ": the list names no image pair, only its header"},
        {"\nimage,label\na,b\n", list + ":2: the header row has no column 'labels' (it names: image, label)"},
        {"a.tif,b.tif\n", list + ":1: the header row has no column 'image' (it names: a.tif, b.tif)"},
        {"image,Image,labels\n", list + ":1: the header names the column 'image' twice"},
        {"labels,x,image\na,b,c\nd,e\n", list + ":3: 2 fields, but the column 'image' is field 3"},
        {"image,labels\na\n", list + ":2: 1 field, but the column 'labels' is field 2"},
        {"image,labels\na,b\n,b\n", list + ":3: the image path is empty"},
        {"image,labels\na,\"\"\n", list + ":2: the labels path is empty"},
        {"image,labels\na,b\n\"c\nd,e\n", list + ":3: unterminated quote"},
        {"image,labels\n\"a\"x,b\n", list + ":2: text after a closing quote"},
        {std::string("image,labels\na\0b,c\n", 19), list + ":2: a path holds a NUL byte"},
        {"image,labels\na,b\nc,d\n./a, b\n", list + ":4: the image './a' with the labels 'b' is already listed on line 2"},
    };
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        WriteFile(list, text);
        ExpectUsageStart([&] { ReadPairList(list); }, message);
    }
    // The same image with other labels, and an image that is another pair's
    // labels, are fine.
    WriteFile(list, "image,labels\na,b\na,c\nb,a\n");
    EXPECT_EQ(ReadPairList(list).size(), 3u);

    EXPECT_EQ(Usage([&] { ReadPairList(dir / "none.csv"); }),
              dir / "none.csv" + ": cannot read the list: No such file or directory");
    EXPECT_EQ(Usage([&] { ReadPairList(dir.Path()); }), dir.Path() + ": the list is a directory");
}

// ----------------------------------------------------------------- globs

TEST(PairGlob, SortedMatchesWithPlaceholdersReplaced) {
    TempDir dir;
    for (const char* name : {"b.tif", "a.tif", "c.x.tif", ".hidden", "noext"}) WriteFile(dir / name, "");
    ASSERT_EQ(::mkdir((dir / "d.tif").c_str(), 0755), 0);  // a directory that matches: skipped
    const std::string d = dir.Path();
    EXPECT_EQ(AsPairs(PairsFromGlob(d + "/*.tif", "{dir}/lab/{stem}-{{{name}}}{ext}")),
              (Pairs{{d + "/a.tif", d + "/lab/a-{a.tif}.tif"},
                     {d + "/b.tif", d + "/lab/b-{b.tif}.tif"},
                     {d + "/c.x.tif", d + "/lab/c.x-{c.x.tif}.tif"}}));
    EXPECT_EQ(AsPairs(PairsFromGlob(d + "/.h*", "{dir}/{stem}_l{ext}")), (Pairs{{d + "/.hidden", d + "/.hidden_l"}}));
    EXPECT_EQ(AsPairs(PairsFromGlob(d + "/noext", "{dir}/{stem}_l{ext}")), (Pairs{{d + "/noext", d + "/noext_l"}}));

    InDirectory cwd(d);
    EXPECT_EQ(AsPairs(PairsFromGlob("a.*", "{dir}/{stem}_l{ext}")), (Pairs{{"a.tif", "./a_l.tif"}}));
}

TEST(PairGlob, LabelFilesCaughtByTheGlobAreNotImages) {
    TempDir dir;
    const std::string d = dir.Path();
    // b_labels.tif and a_labels_labels.tif are label files without label
    // files of their own: not images. a_labels.tif has one: an image too. x.tif
    // is nobody's label file: an image, whose missing label file is for
    // CheckPairsExist to report.
    for (const char* name : {"a.tif", "a_labels.tif", "a_labels_labels.tif", "b.tif", "b_labels.tif", "x.tif"})
        WriteFile(dir / name, "");
    const auto pairs = PairsFromGlob(d + "/*.tif", "{dir}/{stem}_labels{ext}");
    EXPECT_EQ(AsPairs(pairs), (Pairs{{d + "/a.tif", d + "/a_labels.tif"},
                                     {d + "/a_labels.tif", d + "/a_labels_labels.tif"},
                                     {d + "/b.tif", d + "/b_labels.tif"},
                                     {d + "/x.tif", d + "/x_labels.tif"}}));
}

TEST(PairGlob, RefusesBadPatternsAndEmptyMatches) {
    TempDir dir;
    WriteFile(dir / "a.tif", "");
    const std::string g = dir / "*.tif";
    ExpectUsageStart([&] { PairsFromGlob(g, "labels.tif"); },
                     "label pattern 'labels.tif' has no placeholder, so every image would get the same label file");
    ExpectUsageStart([&] { PairsFromGlob(g, "{{x}}.tif"); }, "label pattern '{{x}}.tif' has no placeholder");
    ExpectUsageStart([&] { PairsFromGlob(g, "{dir}/{base}.tif"); },
                     "label pattern '{dir}/{base}.tif': unknown placeholder '{base}'");
    ExpectUsageStart([&] { PairsFromGlob(g, "{stem"); }, "label pattern '{stem': a '{' without its '}'");
    ExpectUsageStart([&] { PairsFromGlob(g, "{stem}}"); }, "label pattern '{stem}}': a '}' without its '{'");
    EXPECT_EQ(Usage([&] { PairsFromGlob(dir / "*.png", "{stem}_l"); }), "no file matches '" + dir / "*.png" + "'");
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
    EXPECT_EQ(Usage([&] { PairsFromGlob(dir / "s*", "{stem}_l"); }), "only directories match '" + dir / "s*" + "'");
    EXPECT_EQ(Usage([&] { PairsFromGlob(g, "{dir}/./{name}"); }),
              "label pattern '{dir}/./{name}' names the image itself as its label file ('" + dir / "a.tif" + "')");
}

// ------------------------------------------------------------ existence check

TEST(PairCheck, NamesTheFirstMissingFileAndCountsTheRest) {
    TempDir dir;
    WriteFile(dir / "a.tif", "");
    WriteFile(dir / "b.tif", "");
    ASSERT_EQ(::mkdir((dir / "d").c_str(), 0755), 0);
    const std::string a = dir / "a.tif", b = dir / "b.tif";
    EXPECT_NO_THROW(CheckPairsExist({{a, b}, {b, a}}));
    EXPECT_NO_THROW(CheckPairsExist({}));
    EXPECT_EQ(Usage([&] { CheckPairsExist({{a, b}, {b, dir / "x"}}); }),
              "labels '" + dir / "x" + "' of image '" + b + "' does not exist");
    // A missing file named twice counts once.
    EXPECT_EQ(Usage([&] { CheckPairsExist({{a, b}, {dir / "m", a}, {b, dir / "n"}, {dir / "m", b}}); }),
              "image '" + dir / "m" + "' does not exist (2 files missing)");
    EXPECT_EQ(Usage([&] { CheckPairsExist({{a, dir / "d"}, {dir / "a.tif/x", b}}); }),
              "labels '" + dir / "d" + "' of image '" + a + "' is a directory (2 files missing)");
}

// ------------------------------------------------------------- ordered work

// An object whose live instances are counted (moved-from ones are not).
struct Counted {
    static inline std::atomic<int> live{0}, most{0};
    static void Reset() { live = 0, most = 0; }
    std::size_t item;
    bool alive = true;
    explicit Counted(std::size_t i) : item(i) {
        const int now = ++live;
        int seen = most;
        while (now > seen && !most.compare_exchange_weak(seen, now)) {}
    }
    Counted(Counted&& o) noexcept : item(o.item), alive(o.alive) { o.alive = false; }
    Counted(const Counted&) = delete;
    ~Counted() {
        if (alive) --live;
    }
};

// Waits (without a time limit in the sense of a measurement: the bound only
// turns a deadlock into a failure) until pred holds.
template <class Pred>
bool WaitFor(std::mutex& m, std::condition_variable& cv, Pred pred) {
    std::unique_lock lock(m);
    return cv.wait_for(lock, std::chrono::seconds(20), pred);
}

TEST(OrderedWork, DeliversInItemOrderWhenLaterItemsFinishFirst) {
    // Item i may finish only once item i + 1 has: the items finish 3, 2, 1, 0.
    constexpr std::size_t n = 4;
    std::mutex m;
    std::condition_variable cv;
    std::vector<bool> finished(n + 1, false);
    finished[n] = true;
    std::vector<std::size_t> finishOrder, delivered;
    const auto caller = std::this_thread::get_id();
    bool onCaller = true;
    RunOrdered<std::unique_ptr<std::size_t>>(
        n, 4, 4,
        [&](unsigned, std::size_t item) {
            if (!WaitFor(m, cv, [&] { return finished[item + 1]; })) throw std::runtime_error("deadlock");
            std::lock_guard lock(m);
            finished[item] = true;
            finishOrder.push_back(item);
            cv.notify_all();
            return std::make_unique<std::size_t>(item * 10);
        },
        [&](std::size_t item, std::unique_ptr<std::size_t> r) {
            onCaller = onCaller && std::this_thread::get_id() == caller;
            EXPECT_EQ(*r, item * 10);
            delivered.push_back(item);
        },
        [&](std::size_t item, std::exception_ptr) {
            ADD_FAILURE() << "item " << item << " failed";
            return false;
        });
    EXPECT_EQ(finishOrder, (std::vector<std::size_t>{3, 2, 1, 0}));
    EXPECT_EQ(delivered, (std::vector<std::size_t>{0, 1, 2, 3}));
    EXPECT_TRUE(onCaller);
}

TEST(OrderedWork, HoldsNoMoreResultsThanTheWindow) {
    // Item 0 is held until items 1 .. window - 1 are done, so the window fills
    // up while nothing can be delivered.
    constexpr std::size_t window = 5, n = 60;
    Counted::Reset();
    std::mutex m;
    std::condition_variable cv;
    std::size_t doneAhead = 0, highestStarted = 0;
    std::size_t startedWhileHeld = 0;
    std::vector<std::size_t> delivered;
    RunOrdered<Counted>(
        n, 3, window,
        [&](unsigned, std::size_t item) {
            {
                std::lock_guard lock(m);
                highestStarted = std::max(highestStarted, item);
            }
            if (item == 0) {
                if (!WaitFor(m, cv, [&] { return doneAhead == window - 1; })) throw std::runtime_error("deadlock");
                std::lock_guard lock(m);
                startedWhileHeld = highestStarted;
            }
            Counted result(item);
            std::lock_guard lock(m);
            if (item > 0 && item < window) ++doneAhead;
            cv.notify_all();
            return result;
        },
        [&](std::size_t item, Counted r) {
            EXPECT_EQ(r.item, item);
            EXPECT_LE(Counted::live.load(), static_cast<int>(window));
            delivered.push_back(item);
        },
        [](std::size_t, std::exception_ptr) { return false; });
    EXPECT_EQ(delivered.size(), n);
    EXPECT_EQ(Counted::most.load(), static_cast<int>(window));
    EXPECT_EQ(startedWhileHeld, window - 1);
    EXPECT_EQ(Counted::live.load(), 0);
}

struct Boom : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Runs 30 items where the listed ones throw, records "d<i>" for each delivery
// and "f<i>" for each failure, and lets failed answer `goOn`.
struct FailureRun {
    std::vector<std::string> events;
    std::size_t highestStarted = 0;
    std::string lastError;

    void Run(unsigned jobs, std::vector<std::size_t> throwing, bool goOn, std::size_t window = 4) {
        std::mutex m;
        RunOrdered<std::string>(
            30, jobs, window,
            [&](unsigned, std::size_t item) {
                {
                    std::lock_guard lock(m);
                    highestStarted = std::max(highestStarted, item);
                }
                if (std::find(throwing.begin(), throwing.end(), item) != throwing.end())
                    throw Boom("item " + std::to_string(item));
                return "d" + std::to_string(item);
            },
            [&](std::size_t, std::string r) { events.push_back(std::move(r)); },
            [&](std::size_t item, std::exception_ptr e) {
                events.push_back("f" + std::to_string(item));
                try {
                    std::rethrow_exception(e);
                } catch (const Boom& b) {
                    lastError = b.what();
                }
                return goOn;
            });
    }
};

std::vector<std::string> Events(std::size_t from, std::size_t to, std::vector<std::size_t> failing) {
    std::vector<std::string> out;
    for (std::size_t i = from; i < to; ++i)
        out.push_back(std::string(std::find(failing.begin(), failing.end(), i) != failing.end() ? "f" : "d")
                          .append(std::to_string(i)));
    return out;
}

TEST(OrderedWork, FailureStopsOrIsSkipped) {
    for (unsigned jobs : {1u, 3u}) {
        SCOPED_TRACE(jobs);
        FailureRun stop;
        stop.Run(jobs, {5, 9}, false);
        EXPECT_EQ(stop.events, Events(0, 6, {5}));
        EXPECT_EQ(stop.lastError, "item 5");
        // Nothing beyond the window after the failing item was started.
        EXPECT_LT(stop.highestStarted, 5u + 4u);

        FailureRun keepGoing;
        keepGoing.Run(jobs, {0, 5, 29}, true);
        EXPECT_EQ(keepGoing.events, Events(0, 30, {0, 5, 29}));
    }
}

TEST(OrderedWork, ExceptionsFromDeliverOrFailedAreRethrownAfterTheJoin) {
    for (unsigned jobs : {1u, 2u, 8u}) {
        SCOPED_TRACE(jobs);
        for (bool inDeliver : {true, false}) {
            std::atomic<int> running{0};
            std::vector<std::size_t> delivered;
            try {
                RunOrdered<int>(
                    50, jobs, 6,
                    [&](unsigned, std::size_t item) {
                        ++running;
                        std::this_thread::yield();
                        --running;
                        if (!inDeliver && item == 7) throw Boom("work");
                        return static_cast<int>(item);
                    },
                    [&](std::size_t item, int) {
                        if (inDeliver && item == 7) throw Boom("deliver");
                        delivered.push_back(item);
                    },
                    [&](std::size_t, std::exception_ptr) -> bool { throw Boom("failed"); });
                ADD_FAILURE() << "nothing thrown";
            } catch (const Boom& e) {
                EXPECT_EQ(std::string(e.what()), inDeliver ? "deliver" : "failed");
            }
            EXPECT_EQ(running.load(), 0);
            EXPECT_EQ(delivered, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5, 6}));
        }
    }
}

TEST(OrderedWork, WorkersAndTheCallingThread) {
    // jobs 1: everything on the calling thread, worker 0.
    const auto caller = std::this_thread::get_id();
    int elsewhere = 0;
    RunOrdered<int>(
        5, 1, 1,
        [&](unsigned worker, std::size_t) {
            elsewhere += std::this_thread::get_id() != caller || worker != 0;
            return 0;
        },
        [](std::size_t, int) {}, [](std::size_t, std::exception_ptr) { return false; });
    EXPECT_EQ(elsewhere, 0);

    // More jobs than items: clamped; a worker's state is never in two threads
    // at once, and each worker number is used by one thread only.
    using Shape = std::pair<std::size_t, unsigned>;
    for (auto [count, jobs] : {Shape{3, 16}, Shape{200, 4}}) {
        std::vector<std::atomic<int>> inUse(jobs);
        std::vector<std::thread::id> owner(jobs);
        std::mutex m;
        std::atomic<int> overlaps{0}, badWorker{0};
        std::size_t delivered = 0;
        RunOrdered<int>(
            count, jobs, 8,
            [&](unsigned worker, std::size_t) {
                if (worker >= std::min<std::size_t>(jobs, count)) {
                    ++badWorker;
                    return 0;
                }
                if (inUse[worker].fetch_add(1) != 0) ++overlaps;
                {
                    std::lock_guard lock(m);
                    if (owner[worker] == std::thread::id()) owner[worker] = std::this_thread::get_id();
                    if (owner[worker] != std::this_thread::get_id() || owner[worker] == caller) ++badWorker;
                }
                std::this_thread::yield();
                --inUse[worker];
                return 0;
            },
            [&](std::size_t, int) { ++delivered; }, [](std::size_t, std::exception_ptr) { return false; });
        EXPECT_EQ(delivered, count);
        EXPECT_EQ(overlaps.load(), 0);
        EXPECT_EQ(badWorker.load(), 0);
    }
    EXPECT_GE(DefaultJobs(), 1u);

    // Interrupts reach the calling thread only (it keeps its temporary files
    // under blocks of its own thread), and its mask is as it was.
    auto blocked = [](int signal) {
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        return sigismember(&mask, signal) == 1;
    };
    ASSERT_FALSE(blocked(SIGINT));
    std::atomic<int> open{0};
    RunOrdered<int>(
        6, 3, 3,
        [&](unsigned, std::size_t) {
            for (int s : {SIGINT, SIGTERM, SIGHUP}) open += !blocked(s);
            return 0;
        },
        [](std::size_t, int) {}, [](std::size_t, std::exception_ptr) { return false; });
    EXPECT_EQ(open.load(), 0);
    EXPECT_FALSE(blocked(SIGINT));
}

// ---------------------------------------------------------------- progress

// A clock the test moves by hand.
struct ManualClock {
    double now = 100.0;
    std::function<double()> Fn() {
        return [this] { return now; };
    }
};

TEST(ProgressOutput, LinesModeText) {
    ManualClock clock;
    std::ostringstream out;
    {
        Progress p(out, ProgressMode::Lines, 4, clock.Fn());
        EXPECT_EQ(out.str(), "");
        p.ItemDone("first\nname.tif");  // the clock has not moved: no rate yet
        clock.now += 1.0;
        p.ItemDone("b.tif");
        p.Message("warning: b.tif: something");
        clock.now += 2.0;
        p.ItemSkipped("c.tif", "error: c.tif: not an image");
        p.ItemDone("d.tif");
        p.Finish();
        p.Finish();
    }
    EXPECT_EQ(out.str(),
              "1/4 first?name.tif\n"
              "2/4 b.tif (2.0 images/s, 1 s left)\n"
              "warning: b.tif: something\n"
              "error: c.tif: not an image\n"
              "3/4 c.tif skipped (1.0 images/s, 1 s left)\n"
              "4/4 d.tif (1.3 images/s, 0 s left)\n"
              "4 images in 3.0 s (1.3 images/s), 1 skipped\n");

    std::ostringstream none;
    {
        Progress p(none, ProgressMode::None, 2, clock.Fn());
        p.ItemDone("a");
        p.ItemSkipped("b", "error: b");
        p.Message("note");
        p.Finish();
    }
    EXPECT_EQ(none.str(), "error: b\nnote\n");
}

TEST(ProgressOutput, BarRedrawsAtMostTenTimesASecondAndEndsComplete) {
    ManualClock clock;
    std::ostringstream out;
    Progress p(out, ProgressMode::Bar, 40, clock.Fn());
    const std::string empty = "\r[--------------------]   0/40  - images/s  - left";
    EXPECT_EQ(out.str(), empty);
    out.str("");
    // Steps of 1/16 and 1/128 s keep the clock's sums exact.
    clock.now += 0.0625;
    p.ItemDone("a");
    EXPECT_EQ(out.str(), "");  // too soon after the first drawing
    clock.now += 0.0625;
    p.ItemDone("b");
    EXPECT_EQ(out.str(), "\r[#-------------------]   2/40  16.0 images/s  0:02 left");
    out.str("");
    for (int i = 2; i < 39; ++i) {
        clock.now += 1.0 / 128;
        p.ItemDone("x");
    }
    // 37 items 1/128 s apart: a redraw every 13 items (0.1 s), not one per item.
    const std::string drawn = out.str();
    EXPECT_EQ(std::count(drawn.begin(), drawn.end(), '\r'), 2);
    out.str("");
    clock.now += 1.0 / 128;
    p.ItemDone("last");  // the last item is always drawn
    EXPECT_EQ(out.str(), "\r[####################]  40/40  94.8 images/s  0:00 left");
    out.str("");
    p.Finish();
    EXPECT_EQ(out.str(), "\r[####################]  40/40  94.8 images/s  0:00 left\n");
}

TEST(ProgressOutput, MessagesClearTheBarAndAnUnfinishedBarIsCleared) {
    ManualClock clock;
    std::ostringstream out;
    {
        Progress p(out, ProgressMode::Bar, 3, clock.Fn());
        clock.now += 1.0;
        p.ItemDone("a");
        out.str("");
        p.Message("warning: a.tif: odd labels");
        const std::string bar = "[######--------------]  1/3  1.0 images/s  0:02 left";
        EXPECT_EQ(out.str(), "\r" + std::string(bar.size(), ' ') + "\rwarning: a.tif: odd labels\n\r" + bar);
        out.str("");
        p.ItemSkipped("b", "error: b.tif: broken");
        const std::string after = "[#############-------]  2/3  2.0 images/s  0:01 left";
        EXPECT_EQ(out.str(), "\r" + std::string(bar.size(), ' ') + "\rerror: b.tif: broken\n\r" + after);
        out.str("");
    }
    // Destroyed without Finish (the batch stopped): the bar is wiped.
    EXPECT_EQ(out.str(), "\r" + std::string(52, ' ') + "\r");
}

TEST(ProgressOutput, TimesTotalsAndModes) {
    EXPECT_EQ(BarTime(7.4), "0:07");
    EXPECT_EQ(BarTime(59.6), "1:00");
    EXPECT_EQ(BarTime(725), "12:05");
    EXPECT_EQ(BarTime(3723), "1:02:03");
    EXPECT_EQ(BarTime(1e30), ">99 h");
    EXPECT_EQ(BarTime(-1), "0:00");
    EXPECT_EQ(LineTime(7), "7 s");
    EXPECT_EQ(LineTime(125), "2 min 5 s");
    EXPECT_EQ(LineTime(3723), "1 h 2 min");
    EXPECT_EQ(LineTime(400000), "more than 99 h");

    // A batch of no items, and a bar whose numbers leave little room for it.
    ManualClock clock;
    std::ostringstream bar, lines, wide;
    Progress(bar, ProgressMode::Bar, 0, clock.Fn()).Finish();
    EXPECT_EQ(bar.str(), "\r[####################]  0/0  - images/s  - left\r[####################]  0/0  - images/s  - left\n");
    Progress(lines, ProgressMode::Lines, 0, clock.Fn()).Finish();
    EXPECT_EQ(lines.str(), "0 images in 0.0 s\n");
    {
        Progress p(wide, ProgressMode::Bar, static_cast<std::size_t>(-1), clock.Fn());
        clock.now += 1e-9;
        p.ItemDone("a");
        p.Finish();
    }
    std::istringstream drawn(wide.str());
    for (std::string line; std::getline(drawn, line, '\r');) EXPECT_LE(line.size(), 80u) << line;  // 79 + '\n'

    EXPECT_EQ(ParseProgressMode("bar"), ProgressMode::Bar);
    EXPECT_EQ(ParseProgressMode("lines"), ProgressMode::Lines);
    EXPECT_EQ(ParseProgressMode("none"), ProgressMode::None);
    EXPECT_TRUE(ParseProgressMode("auto").has_value());
    EXPECT_FALSE(ParseProgressMode("Bar").has_value());
    EXPECT_EQ(DefaultProgressMode(-1), ProgressMode::Lines);
}

}  // namespace
