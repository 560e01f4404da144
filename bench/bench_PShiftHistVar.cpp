#include <iostream>
#include <streambuf>

#include "BenchScene.h"
#include "PShiftHistVar.h"

namespace {

// The node writes one "nCounter" line per region whatever verbose says; the
// lines are formatted as in any run but dropped here, so the figures do not
// depend on where standard output goes.
class DropStdout {
public:
    DropStdout() : m_saved(std::cout.rdbuf(&m_null)) {}
    ~DropStdout() { std::cout.rdbuf(m_saved); }

private:
    struct NullBuffer : std::streambuf {
        int overflow(int c) override { return traits_type::not_eof(c); }
    } m_null;
    std::streambuf* m_saved;
};

void BM_ShiftHistVar(benchmark::State& state) {
    DropStdout drop;
    bench::RunNodeOnScene(state, [] { return new KELO::CPShiftHistVar(); });
}
BENCHMARK(BM_ShiftHistVar)->Unit(benchmark::kMillisecond);

// Shifted by a few pixels either way, so each pixel meets another partner.
void BM_ShiftHistVar_Shifted(benchmark::State& state) {
    DropStdout drop;
    bench::RunNodeOnScene(state, [] { return new KELO::CPShiftHistVar(); }, [](KELO::CPNode& node) {
        node.Parameters().SetEntry("shift_x", new KELO::CValueLong(3));
        node.Parameters().SetEntry("shift_y", new KELO::CValueLong(-2));
    });
}
BENCHMARK(BM_ShiftHistVar_Shifted)->Unit(benchmark::kMillisecond);

}  // namespace
