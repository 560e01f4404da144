// The progress of a batch on standard error: a bar redrawn in place on a
// terminal, one plain line per item otherwise (a log file, a pipe), or
// nothing but the messages.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "Errors.h"

namespace regionfeat {

enum class ProgressMode { Bar, Lines, None };

// Bar when fd is a terminal (isatty), else Lines.
ProgressMode DefaultProgressMode(int fd = 2);
// "auto", "bar", "lines", "none" -> mode (auto: DefaultProgressMode()); nullopt otherwise.
std::optional<ProgressMode> ParseProgressMode(const std::string& text);

// Progress of a batch of `total` items (images).
//
// Bar: one line redrawn in place with '\r',
//   "[#######-------------]  37/100  8.1 images/s  0:07 left",
// drawn when made (0 done), then at most 10 times a second and always at the
// last item, never wider than 79 columns; names are not shown. Time left is
// m:ss, or h:mm:ss from an hour on. Lines: one plain line per item,
//   "37/100 a.tif (8.1 images/s, 7 s left)",
// time left as "7 s", "2 min 5 s" or "1 h 2 min". None: only the messages.
// Rate and time left come from the items done so far (skipped ones included:
// they took their time too); before the first item, or before the clock has
// moved, they show as "-".
//
// All calls come from one thread (the one that delivers the results).
class Progress {
public:
    // seconds is a clock for tests, in seconds from any origin; by default
    // std::chrono::steady_clock.
    Progress(std::ostream& out, ProgressMode mode, std::size_t total, std::function<double()> seconds = {});
    // Clears a bar that Finish has not ended, so that what is printed next
    // (the error that ended the batch) starts on a clean line.
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void ItemDone(const std::string& name);
    // Counted like a finished item; the message is shown as by Message, and
    // in Lines mode the item's line says "skipped".
    void ItemSkipped(const std::string& name, const std::string& message);
    // A line of text (a warning, an error; made one line by OneLine) that must
    // not garble the bar: the
    // bar is cleared with "\r", blanks over its width and "\r" again (no
    // terminal escape sequences, so any terminal shows it right), the line is
    // printed, and the bar drawn again.
    void Message(const std::string& line);
    // Final state, once (later calls do nothing): the bar drawn as it stands
    // (complete when every item came) and ended with a newline; in Lines mode
    // a summary "100 images in 12.3 s (8.1 images/s), 2 skipped" (the rate
    // left out while it is unknown, the skipped count when there are none).
    void Finish();

private:
    void Advance(const std::string& name, bool skipped);
    void DrawBar();
    void ClearBar();
    double Elapsed() const;
    // Items per second so far, or a negative value while unknown.
    double Rate() const;

    std::ostream& m_out;
    ProgressMode m_mode;
    std::size_t m_total;
    std::function<double()> m_seconds;
    double m_start = 0.0;
    double m_lastDraw = 0.0;
    std::size_t m_done = 0;  // skipped ones included
    std::size_t m_skipped = 0;
    std::size_t m_drawnWidth = 0;  // columns of the bar on screen, 0 when none
    bool m_finished = false;
};

// Time left as the bar shows it: "0:07", "12:05", "1:02:03"; more than 99
// hours as ">99 h".
std::string BarTime(double seconds);
// Time left as a line shows it: "7 s", "2 min 5 s", "1 h 2 min"; more than 99
// hours as "more than 99 h".
std::string LineTime(double seconds);

}  // namespace regionfeat
