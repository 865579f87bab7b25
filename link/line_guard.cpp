// What the program believes of the bytes on the line.
#include "link/line_guard.h"

#include "app/KORVENDarir23.h"
#include "link/com232.h"

#include <cstdio>
#include <limits>

namespace korven {

namespace {

double byteTime = 10.0 / 19200.0;
double requestWritten = -1.0e9;
double answerNotBefore = 0.0;
double answerWindowEnd = 0.0;
LineDisturbance disturbance;

} // namespace

double LineByteTime() {
    return byteTime;
}

void SetLineByteTime(double seconds) {
    byteTime = seconds < 0.0 ? 0.0 : seconds;
}

void NoteRequestWritten(double when, int answerBytes) {
    requestWritten = when;
    answerNotBefore = when + (kFrameBytes + answerBytes) * byteTime;
    answerWindowEnd = answerNotBefore;
}

void ExpectAnswerBytes(int answerBytes) {
    NoteRequestWritten(requestWritten, answerBytes);
}

void AnswerTaken() {
    answerNotBefore = std::numeric_limits<double>::infinity();
}

double AnswerNotBefore() {
    return answerNotBefore;
}

double AnswerDue() {
    return answerWindowEnd;
}

FrameVerdict JudgeAnswerFrame(const unsigned char* frame, double now) {
    if (frame[0] != 0x00 || frame[1] != kAnswerSync) {
        return FrameVerdict::NotAligned;
    }
    return now < answerNotBefore ? FrameVerdict::OutOfStep : FrameVerdict::Accepted;
}

const LineDisturbance& Disturbance() {
    return disturbance;
}

void CountRejectedFrame(FrameVerdict why, int bytes) {
    ++disturbance.frames;
    if (why == FrameVerdict::NotAligned) {
        ++disturbance.misaligned;
    }
    CountDiscardedBytes(bytes);
}

void CountDiscardedBytes(int bytes) {
    if (bytes > 0) {
        disturbance.bytes += bytes;
    }
}

void ResetDisturbance() {
    disturbance = {};
}

void ResetLineGuard() {
    ResetDisturbance();
    byteTime = 10.0 / 19200.0;
    requestWritten = -1.0e9;
    answerNotBefore = 0.0;
    answerWindowEnd = 0.0;
}

bool DisturbedSince(const LineDisturbance& mark) {
    return !(disturbance == mark);
}

std::string DisturbanceText() {
    char text[kStatusLen];
    std::snprintf(text, sizeof text, "Line disturbed: %ld frames rejected, %ld bytes discarded",
                  disturbance.frames, disturbance.bytes);
    return text;
}

std::string DisturbanceStatisticsLine() {
    if (disturbance.frames == 0 && disturbance.bytes == 0) {
        return {};
    }
    char text[96];
    std::snprintf(text, sizeof text, "Line   %ld rejected, %ld bytes", disturbance.frames,
                  disturbance.bytes);
    return text;
}

bool NothingTrails(double seconds) {
    const double begin = Timer();
    constexpr int kMaxPolls = 100000;
    for (int polls = 0; polls < kMaxPolls; ++polls) {
        if (GetInQLen(com) > 0) {
            return false;
        }
        if (Timer() - begin >= seconds) {
            break;
        }
    }
    return true;
}

void DiscardInput() {
    CountDiscardedBytes(GetInQLen(com));
    FlushInQ(com);
}

bool WaitForQuietLine(double quiet, double notBefore, bool events, bool count) {
    const double begin = Timer();
    double lastChange = begin;
    int waiting = GetInQLen(com);
    if (waiting < 0) {
        // A port that is not open has nothing to wait for.
        return true;
    }
    const bool silenced = events && RxNotificationInstalled();
    if (silenced) {
        SilenceRxNotification();
    }
    bool reached = false;
    // The poll count bounds the wait even on a clock that does not move.
    constexpr int kMaxPolls = 1000000;
    for (int polls = 0; polls < kMaxPolls; ++polls) {
        if (events) {
            ProcessSystemEvents();
            if (stop_flag != 0) {
                break;
            }
        }
        const double now = Timer();
        const int n = GetInQLen(com);
        if (n < 0) {
            // The port went meanwhile: nothing more will come.
            reached = true;
            break;
        }
        if (n != waiting) {
            waiting = n;
            lastChange = now;
        } else if (now - lastChange >= quiet && now >= notBefore) {
            reached = true;
            break;
        }
        if (now - begin > TIMEOUT) {
            break;
        }
    }
    if (count) {
        CountDiscardedBytes(GetInQLen(com));
    }
    FlushInQ(com);
    if (silenced) {
        InstallRxNotification();
    }
    return reached;
}

} // namespace korven
