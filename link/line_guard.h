// What the program believes of the bytes on the line.
//
// The protocol has no checksum: framing and timing are all there is. An
// answer frame counts only when it starts with the answer sync word and
// when it could be the answer to the request last written: a sensor has to
// take in the 36 bytes of a request before it answers, and its answer takes
// as long again, so a frame complete sooner after the request is left over
// from before (an answer sent twice, the tail of a long block, noise). The
// same holds for the raw video blocks, which in addition must be exactly as
// long as asked for, with nothing behind them.
//
// Every frame turned away and every byte thrown away unread is counted, so
// that the operator can be told that the line is disturbed.
#pragma once

#include <string>

namespace korven {

// Time of one byte on the line (8N1 at 19200 baud) that the timing checks
// assume. A line without timing (a test's instant line) sets 0.
double LineByteTime();
void SetLineByteTime(double seconds);

// The program has written a request at `when` (taken before the write) to
// which `answerBytes` come back.
void NoteRequestWritten(double when, int answerBytes);
// The request just written is answered with `answerBytes` (a raw block).
void ExpectAnswerBytes(int answerBytes);
// An answer to the last request was taken: one request, one answer; any
// frame after it is left over.
void AnswerTaken();
// The earliest time an answer to the last request can be complete.
double AnswerNotBefore();

// OutOfStep: complete too soon after the request, too long, or with bytes
// trailing it.
// When the answer to the last request is due at the earliest, whether it
// was taken or not: a line quiet from then on carries no more of it.
double AnswerDue();

enum class FrameVerdict { Accepted, NotAligned, OutOfStep };
// Judges a 36-byte frame complete at `now`.
FrameVerdict JudgeAnswerFrame(const unsigned char* frame, double now);

// Frames turned away and bytes discarded unread since the port was opened
// (or the statistics were reset).
struct LineDisturbance {
    long frames = 0;
    long bytes = 0;
    long misaligned = 0; // frames turned away for their first word
    bool operator==(const LineDisturbance&) const = default;
};
const LineDisturbance& Disturbance();
void CountRejectedFrame(FrameVerdict why, int bytes);
void CountDiscardedBytes(int bytes);
void ResetDisturbance();
// Everything as at program start: no request written, nothing counted, the
// byte time of 19200 baud.
void ResetLineGuard();
// Whether anything was turned away since `mark` was taken.
bool DisturbedSince(const LineDisturbance& mark);
// The status text telling the disturbance, e.g.
// "Line disturbed: 3 frames rejected, 120 bytes discarded".
std::string DisturbanceText();
// The line of the statistics area; empty while the line is clean.
std::string DisturbanceStatisticsLine();

// Whether nothing comes in on `com` for the next `seconds` (no events are
// processed): a block with bytes trailing it was not what the sensor sent.
bool NothingTrails(double seconds);

// Empties the input queue of `com`, counting what was in it as discarded.
void DiscardInput();

// Waits until nothing has come in on `com` for `quiet` seconds and `notBefore`
// has passed, then empties the input queue; counts what it threw away when
// `count` is set. Gives up after TIMEOUT on a line that never falls quiet.
// With `events` it processes events meanwhile, the receive notification
// silenced, and ends on a stop; returns false when it did not reach a quiet
// line (a stop, or a line that stayed busy).
bool WaitForQuietLine(double quiet, double notBefore, bool events, bool count);

// The quiet time before a request that follows a disturbance: about ten
// bytes at 19200 baud, far longer than the gaps within one answer.
constexpr double kQuietTime = 0.005;

} // namespace korven
