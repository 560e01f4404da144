#include "Progress.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace regionfeat {

namespace {

constexpr std::size_t kColumns = 79;
constexpr std::size_t kBarCells = 20;
constexpr double kRedrawSeconds = 0.1;
constexpr double kMostSeconds = 100.0 * 3600.0;

std::string Format(const char* format, auto... args) {
    char buf[128];
    std::snprintf(buf, sizeof buf, format, args...);
    return buf;
}

std::string RateText(double rate) {
    if (rate < 0) return "-";
    return Format(rate < 1 ? "%.2f" : "%.1f", rate);
}

// A name as one line shows it: control characters (a line break in a file
// name) would break the line, so they show as '?'.
std::string Printable(std::string name) {
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return name;
}

}  // namespace

ProgressMode DefaultProgressMode(int fd) { return ::isatty(fd) ? ProgressMode::Bar : ProgressMode::Lines; }

std::optional<ProgressMode> ParseProgressMode(const std::string& text) {
    if (text == "auto") return DefaultProgressMode();
    if (text == "bar") return ProgressMode::Bar;
    if (text == "lines") return ProgressMode::Lines;
    if (text == "none") return ProgressMode::None;
    return std::nullopt;
}

std::string BarTime(double seconds) {
    if (!(seconds >= 0)) seconds = 0;
    if (seconds >= kMostSeconds) return ">99 h";
    const long s = std::lround(seconds);
    if (s >= 3600) return Format("%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    return Format("%ld:%02ld", s / 60, s % 60);
}

std::string LineTime(double seconds) {
    if (!(seconds >= 0)) seconds = 0;
    if (seconds >= kMostSeconds) return "more than 99 h";
    const long s = std::lround(seconds);
    if (s >= 3600) return Format("%ld h %ld min", s / 3600, s / 60 % 60);
    if (s >= 60) return Format("%ld min %ld s", s / 60, s % 60);
    return Format("%ld s", s);
}

Progress::Progress(std::ostream& out, ProgressMode mode, std::size_t total, std::function<double()> seconds)
    : m_out(out), m_mode(mode), m_total(total), m_seconds(std::move(seconds)) {
    if (!m_seconds)
        m_seconds = [] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
        };
    m_start = m_seconds();
    if (m_mode == ProgressMode::Bar) DrawBar();
}

Progress::~Progress() {
    if (m_mode == ProgressMode::Bar && !m_finished) {
        try {
            ClearBar();
        } catch (...) {
            // A stream set to throw must not end the process from a destructor.
        }
    }
}

double Progress::Elapsed() const { return m_seconds() - m_start; }

double Progress::Rate() const {
    const double elapsed = Elapsed();
    if (m_done == 0 || !(elapsed > 0) || !std::isfinite(elapsed)) return -1.0;
    return static_cast<double>(m_done) / elapsed;
}

void Progress::DrawBar() {
    const double rate = Rate();
    const std::size_t left = m_total > m_done ? m_total - m_done : 0;
    const std::string total = std::to_string(m_total);
    std::string done = std::to_string(m_done);
    if (done.size() < total.size()) done.insert(0, total.size() - done.size(), ' ');
    const std::string tail = "  " + done + "/" + total + "  " + RateText(rate) + " images/s  " +
                             (rate < 0 ? std::string("-") : BarTime(static_cast<double>(left) / rate)) + " left";
    const std::size_t cells = tail.size() + 2 + kBarCells <= kColumns ? kBarCells
                              : tail.size() + 2 < kColumns            ? kColumns - 2 - tail.size()
                                                                      : 0;
    const double fraction =
        m_total == 0 ? 1.0 : std::min(1.0, static_cast<double>(m_done) / static_cast<double>(m_total));
    const auto filled = static_cast<std::size_t>(std::floor(fraction * static_cast<double>(cells)));
    std::string line(1, '[');
    line.append(filled, '#').append(cells - filled, '-').append(1, ']').append(tail);
    if (line.size() > kColumns) line.resize(kColumns);
    std::string text = "\r" + line;
    if (m_drawnWidth > line.size()) text.append(m_drawnWidth - line.size(), ' ');
    m_out << text << std::flush;
    m_drawnWidth = line.size();
    m_lastDraw = Elapsed();
}

void Progress::ClearBar() {
    if (m_drawnWidth == 0) return;
    m_out << '\r' << std::string(m_drawnWidth, ' ') << '\r';
    m_drawnWidth = 0;
}

void Progress::Advance(const std::string& name, bool skipped) {
    ++m_done;
    if (skipped) ++m_skipped;
    switch (m_mode) {
    case ProgressMode::Bar:
        // The skipped item's message has just cleared the bar: draw it again now.
        if (skipped || m_done >= m_total || Elapsed() - m_lastDraw >= kRedrawSeconds) DrawBar();
        break;
    case ProgressMode::Lines: {
        std::string line = std::to_string(m_done) + "/" + std::to_string(m_total) + " " + Printable(name);
        if (skipped) line += " skipped";
        const double rate = Rate();
        if (rate >= 0) {
            const std::size_t left = m_total > m_done ? m_total - m_done : 0;
            line += " (" + RateText(rate) + " images/s, " + LineTime(static_cast<double>(left) / rate) + " left)";
        }
        m_out << line << '\n' << std::flush;
        break;
    }
    case ProgressMode::None:
        break;
    }
}

void Progress::ItemDone(const std::string& name) { Advance(name, false); }

void Progress::ItemSkipped(const std::string& name, const std::string& message) {
    ClearBar();
    m_out << OneLine(message) << '\n';
    Advance(name, true);
}

void Progress::Message(const std::string& line) {
    ClearBar();
    m_out << OneLine(line) << '\n';
    if (m_mode == ProgressMode::Bar && !m_finished) DrawBar();
    m_out << std::flush;
}

void Progress::Finish() {
    if (m_finished) return;
    m_finished = true;
    if (m_mode == ProgressMode::Bar) {
        DrawBar();
        m_out << '\n' << std::flush;
        m_drawnWidth = 0;
    } else if (m_mode == ProgressMode::Lines) {
        const double rate = Rate();
        std::string line = std::to_string(m_done) + (m_done == 1 ? " image in " : " images in ") +
                           Format("%.1f s", std::max(0.0, Elapsed()));
        if (rate >= 0) line += " (" + RateText(rate) + " images/s)";
        if (m_skipped > 0) line += ", " + std::to_string(m_skipped) + " skipped";
        m_out << line << '\n' << std::flush;
    }
}

}  // namespace regionfeat
