// The device link: frames and parameter packet, the receive notification
// and line check, device identification, video blocks, the parameter file,
// and the port set-up with its connection sequence.
#pragma once

#include "app/KORVENDarir23.h"

namespace korven {

// Command codes (sent in the command word of a frame, held in `order`).
constexpr int CMD_WRITE_RAM = 1;
constexpr int CMD_READ_RAM = 2;
constexpr int CMD_WRITE_EEPROM = 3;
constexpr int CMD_READ_EEPROM = 4;
constexpr int CMD_ECHO = 5;
constexpr int CMD_TEACH = 6;
constexpr int CMD_FIRMWARE = 7;
constexpr int CMD_RUN = 8;
constexpr int CMD_DATA64 = 9;
constexpr int CMD_HARDWARE = 10;
constexpr int CMD_DATA256_OR_RESET = 11;
constexpr int CMD_CALIBRATION = 12;

constexpr int kAnswerSync = 0x00AA;

// ---- Frames and packet -------------------------------------------------
void FillTxBuf(int command, const u16* words);
void GetRxBuf(int n);
void CopyVarsToPP();
void CopyPPtoVars();

// ---- Receive notification and line check -------------------------------
void RX_Receive_Function(int portNumber, int eventMask, void* callbackData);
int CheckComLine(int port);
// Installs the receive notification on `com` with the standard settings.
void InstallRxNotification();
// Silences the receive notification on `com` (raw block reads).
void SilenceRxNotification();
// Whether the notification is installed (not silenced) at the moment.
bool RxNotificationInstalled();
// Writes the 36-byte frame in szWriteBuf to `port`; the count written (or
// the error) is kept in nBytesW.
void WriteFrame(int port);
// Waits for an answer frame after a command was written and `tstart` taken:
// processes events until the receive notification has raised `rx_flag` or
// more than `limit` seconds have passed since `tstart` (reaching the limit
// exactly is not a time-out). `rx_flag` is tested before each pass and
// `tdiff` holds the elapsed time. Returns 1 when an answer frame is in, also
// when it completed in the pass in which the time ran out; 0 on a time-out.
int WaitForAnswerFrame(double limit = TIMEOUT);

// ---- Device identification ---------------------------------------------
int GetHARDWAREInfo();
int GetVERSIONInfo();
// The last position the evaluation window may reach, in the units of the
// positions the sensor reports (window limits, edges, measured position).
// pixE counts pixels; the sensors with x2 sub-pixels report positions in
// half pixels, so their last position is twice their last pixel.
u16 WindowLast();

// ---- Video blocks ------------------------------------------------------
int ReadData64(int start, int lastBlock);
int ReadData256();
// Whether the last block read was taken (complete, in time, of its length).
bool VideoBlockAccepted();

// ---- Parameter file ----------------------------------------------------
// The kind of file whose last folder the parameter file dialogues start in.
constexpr const char* kParaFolderKind = "parameter";
void SendParaToFile();
int ReadParaFromFile();

// ---- Port set-up -------------------------------------------------------
void InitRS232(int port);

} // namespace korven
