#include "app/messages.h"

#include "analysis/recording.h"
#include "app/KORVENDarir23.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>

namespace korven {

namespace {

// Words by which the program's texts report an error, a time-out or a
// refusal (compared without regard to case).
constexpr std::array<std::string_view, 14> kProblemWords = {
    "error",     "timeout", "cannot", "not ",   "invalid", "unknown", "unreadable",
    "disturbed", "busy",    "differ", "failed", "denied",  "first",   "dropped"};

bool ContainsWord(std::string_view text, std::string_view word) {
    const auto it =
        std::search(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) ==
                   std::tolower(static_cast<unsigned char>(b));
        });
    return it != text.end();
}

// "HH:MM:SS.mmm" of a wall-clock time.
std::string ClockText(std::int64_t wallMs) {
    const std::string full = analysis::LocalTimeText(wallMs); // "YYYY-MM-DD HH:MM:SS.mmm"
    return full.size() > 11 ? full.substr(11) : full;
}

} // namespace

MessageKind KindOfText(std::string_view text) {
    for (const std::string_view word : kProblemWords) {
        if (ContainsWord(text, word)) {
            return MessageKind::Problem;
        }
    }
    return MessageKind::Info;
}

bool MessageHistory::add(std::int64_t wallMs, std::string_view text) {
    if (text.empty()) {
        return false;
    }
    const std::size_t window = std::min(kRepeatWindow, entries_.size());
    for (auto it = entries_.rbegin(); it != entries_.rbegin() + static_cast<long>(window); ++it) {
        if (it->text == text) {
            ++it->count;
            it->lastMs = wallMs;
            return false;
        }
    }
    entries_.push_back(Entry{wallMs, wallMs, std::string(text), KindOfText(text), 1});
    while (entries_.size() > kMaxLines) {
        entries_.pop_front();
    }
    return true;
}

std::string MessageHistory::LineOf(const Entry& entry) {
    std::string line = ClockText(entry.firstMs);
    line += entry.kind == MessageKind::Problem ? kProblemMark : kInfoMark;
    line += entry.text;
    if (entry.count > 1) {
        line += "  (x" + std::to_string(entry.count) + ", last " + ClockText(entry.lastMs) + ")";
    }
    return line;
}

std::string MessageHistory::text() const {
    std::string out;
    for (const Entry& e : entries_) {
        if (!out.empty()) {
            out += '\n';
        }
        out += LineOf(e);
    }
    return out;
}

// ---- The history on the main panel -----------------------------------------

namespace {

// A repeat only changes a count: the box is redrawn for it at most this
// often (seconds), so that a loop's texts cost nothing much.
constexpr double kCountRefresh = 1.0;

MessageHistory gHistory;
int gHistoryPanel = 0;
double gHistoryShown = -1.0e9;

std::int64_t WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void ShowHistory() {
    gHistoryShown = Timer();
    SetCtrlVal(gHistoryPanel, PANEL_TEXTBOXHistory, gHistory.text().c_str());
}

void StatusShown(int /*panel*/, int /*control*/, const char* text, void* /*data*/) {
    if (gHistory.add(WallMs(), text) || Timer() - gHistoryShown >= kCountRefresh) {
        ShowHistory();
    }
}

void RuntimeMessage(const char* text) {
    ShowStatusLine(text);
}

} // namespace

void StartMessageHistory(int panel) {
    gHistory.clear();
    gHistoryPanel = panel;
    gHistoryShown = -1.0e9;
    ObserveCtrlText(panel, PANEL_STATUS, StatusShown, nullptr);
    InstallOperatorMessage(RuntimeMessage);
    ShowHistory();
}

const MessageHistory& CurrentMessageHistory() {
    return gHistory;
}

void ResetMessageHistory() {
    gHistory.clear();
    gHistoryPanel = 0;
    ObserveCtrlText(0, 0, nullptr, nullptr);
    InstallOperatorMessage(nullptr);
}

} // namespace korven
