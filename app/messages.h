// The message history beside the status line: every status text with the
// time it was shown, so that a result or a refusal is not lost when a loop
// writes its next text over it a moment later. Kept free of any widget
// toolkit; the panel shows the history's text in a text box.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace korven {

enum class MessageKind { Info, Problem };

// Whether a status text reports an error, a time-out or a refusal, by the
// words such texts use.
MessageKind KindOfText(std::string_view text);

class MessageHistory {
  public:
    // Lines kept; the oldest go first.
    static constexpr std::size_t kMaxLines = 500;
    // A text equal to one of this many newest lines is counted there
    // instead of taking a line of its own: the texts a loop repeats on
    // every cycle (several per cycle) do not push everything else out.
    static constexpr std::size_t kRepeatWindow = 8;
    // Marks a problem line; the panel's text box colours lines holding it.
    static constexpr std::string_view kProblemMark = " !! ";
    static constexpr std::string_view kInfoMark = "    ";

    struct Entry {
        std::int64_t firstMs = 0; // wall-clock time first shown
        std::int64_t lastMs = 0;  // and last shown
        std::string text;
        MessageKind kind = MessageKind::Info;
        std::size_t count = 1;
    };

    // Takes in a text shown at wall-clock time `wallMs` (milliseconds since
    // the epoch). Returns true when it took a new line, false when it was
    // counted as a repeat (or was empty).
    bool add(std::int64_t wallMs, std::string_view text);
    void clear() { entries_.clear(); }

    const std::deque<Entry>& entries() const { return entries_; }
    // One line of the history, e.g. "14:03:07.250 !! Timeout-RS-232..." or
    // "14:03:07.250    Line Ok!  (x25, last 14:03:08.210)".
    static std::string LineOf(const Entry& entry);
    // All lines, oldest first, joined by line breaks.
    std::string text() const;

  private:
    std::deque<Entry> entries_;
};

// ---- The history on the main panel -----------------------------------------

// From now on every text shown in the status line of `panel` goes into the
// history, which the panel's history box shows; texts the run-time has for
// the operator are shown in the status line. Starts with an empty history.
void StartMessageHistory(int panel);
const MessageHistory& CurrentMessageHistory();
// Empties the history and stops taking texts in.
void ResetMessageHistory();

} // namespace korven
