// ASPI emulation over the SCSI pass-through interface of the drive-letter devices: a table of
// the CD drives under the letters, each with an adapter/target/LUN address, and the two ASPI
// entry points over it. The device-access object builds the table when the set of optical
// devices has changed since the last scan (or a drive stopped answering), and keeps it
// between commands (process-wide).
//
// Commands to different drives run at the same time; the table, the holds and the scan's
// bookkeeping are under SptiStateMutex, taken only for short moments and never across a
// pass-through. Locks are taken in one order: a drive's mutex, then the scan's, then the
// state mutex (the scan only tries a drive's mutex, never waits for it).
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/WinApi.h"

struct TSptiDrive {
    std::uint8_t HaId = 0;
    std::uint8_t Target = 0;
    std::uint8_t Lun = 0;
    std::uint8_t DriveLetterIndex = 0;   // 0 for A
    bool Used = false;
    win::HANDLE DeviceHandle = nullptr;   // unused: each request keeps its own handle
    std::uint8_t InquiryData[40] = {};
};

constexpr int kSptiDriveCount = 27;
constexpr std::uint8_t kSptiFailedAddressLun = 250;   // marks a made-up address until the scan ends

struct TSptiDriveTable {
    std::uint8_t AdapterCount = 0;
    TSptiDrive Drives[kSptiDriveCount];   // indexed by drive-letter index
};

extern TSptiDriveTable SptiDriveTable;

// Opens the drive for reading and writing, else for reading only; the invalid-handle value
// when neither works.
win::HANDLE SptiOpenDrive(int DriveLetterIndex);
// Fills SptiDriveTable from the CD drive letters; returns the number of drives entered. A drive
// with a command in flight on another thread is not asked again: it keeps the identification
// it had and gets its address afresh.
int SptiScan();
// Scans unless the table still describes the machine (checked again once no other scan runs).
void SptiScanIfStale();
// Whether the table no longer describes the machine: never scanned, cleared, the set of optical
// devices changed, or a drive vanished or could not be opened at a command.
bool SptiTableStale();
void SptiCloseAll();

// A job's hold on a drive: opened exclusively once and kept open until the matching release
// (holds nest); the scan and every execute request for that drive use the held handle and
// leave it open. Returns the handle, or the invalid-handle value when the drive cannot be
// opened so (GetLastError: ERROR_SHARING_VIOLATION when another program has it).
win::HANDLE SptiHoldDrive(int DriveLetterIndex);
void SptiReleaseDrive(int DriveLetterIndex);
// Drive-letter index of the first used entry with that address, or 0.
int SptiFindDrive(std::uint8_t HaId, std::uint8_t Target, std::uint8_t Lun);
std::uint32_t SptiSupportInfo();

// The process-wide lock of the table, the holds and the device-access object's module state.
std::mutex& SptiStateMutex();
// One drive's commands go one at a time under its mutex (by drive-letter index; index 0 stands
// for an address no drive has). Recursive: a command may be issued from within one.
std::recursive_mutex& SptiDriveMutex(int DriveLetterIndex);
// The ASPI send-command entry: fills in the request block and returns its status.
std::uint32_t SptiSendCommand(void* Srb);
