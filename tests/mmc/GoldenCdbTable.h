// Every command of the unit with the CDB it must send, shared by the test that sends them
// through the scripted device and the one that looks at what the unit hands to the frame.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mmc/SCSIUnit.h"
#include "mmc/ScsiSpeed.h"

namespace mmctest {

struct GoldenCdb {
    std::string name;
    std::function<TScsiError(const TCDBurnerInfo&, TScsiDefaults&)> send;
    std::vector<std::uint8_t> cdb;   // LUN bits of byte 1 zero
    std::uint32_t direction;         // SRB_DIR_*
    std::uint32_t dataLength;
    bool lunInByte1;                 // built with ScsiSendCDB6/10, so the unit merges the LUN
    unsigned sends = 1;              // times the command goes out
};

inline std::vector<GoldenCdb> GoldenCdbTable() {
    static std::uint8_t block[2352];
    static std::uint8_t reply[804];
    using V = std::vector<std::uint8_t>;
    std::vector<GoldenCdb> t = {
        {"ModeSense2A",
         [](auto& i, auto& d) { return ScsiModeSense(i, 0x2A, reply, 34, d); },
         V{0x5A, 0x08, 0x2A, 0, 0, 0, 0, 0x00, 0x22, 0}, SRB_DIR_IN, 34, true},
        {"ModeSensePageControl2",
         [](auto& i, auto& d) {
             d.PageControl = 2;
             const TScsiError e = ScsiModeSense(i, 0x05, reply, 0x0102, d);
             d.PageControl = 0;
             return e;
         },
         V{0x5A, 0x08, 0x85, 0, 0, 0, 0, 0x01, 0x02, 0}, SRB_DIR_IN, 0x0102, true},
        {"ModeSelect",
         [](auto& i, auto& d) { return ScsiModeSelect(i, reply, 60, d); },
         V{0x55, 0x10, 0, 0, 0, 0, 0, 0x00, 0x3C, 0}, SRB_DIR_OUT, 60, true},
        {"EjectStartStop",
         [](auto& i, auto& d) { return ScsiStartStopUnit(i, false, true, true, d); },
         V{0x1B, 0x01, 0, 0, 0x02, 0}, SRB_DIR_NONE, 0, true},
        {"StartStopAllFalse",
         [](auto& i, auto& d) { return ScsiStartStopUnit(i, false, false, false, d); },
         V{0x1B, 0x00, 0, 0, 0x00, 0}, SRB_DIR_NONE, 0, true},
        {"StartStopStartLoad",
         [](auto& i, auto& d) { return ScsiStartStopUnit(i, true, true, false, d); },
         V{0x1B, 0x00, 0, 0, 0x03, 0}, SRB_DIR_NONE, 0, true},
        {"StartStopStartOnly",
         [](auto& i, auto& d) { return ScsiStartStopUnit(i, true, false, true, d); },
         V{0x1B, 0x01, 0, 0, 0x01, 0}, SRB_DIR_NONE, 0, true},
        {"AllowRemoval",
         [](auto& i, auto& d) { return ScsiPreventAllowRemoval(i, 0, d); },
         V{0x1E, 0, 0, 0, 0x00, 0}, SRB_DIR_NONE, 0, true},
        {"PreventRemoval",
         [](auto& i, auto& d) { return ScsiPreventAllowRemoval(i, 1, d); },
         V{0x1E, 0, 0, 0, 0x01, 0}, SRB_DIR_NONE, 0, true},
        {"ReadTOCInfo",
         [](auto& i, auto& d) {
             TScsiTOC toc;
             return ScsiReadTOCInfo(i, toc, d);
         },
         V{0x43, 0x00, 0x00, 0, 0, 0, 0x00, 0x03, 0x24, 0}, SRB_DIR_IN, 804, true},
        {"ReadTOCMsfFormat1",
         [](auto& i, auto& d) { return ScsiReadTOC(i, true, 1, 2, reply, 12, d); },
         V{0x43, 0x02, 0x01, 0, 0, 0, 0x02, 0x00, 0x0C, 0}, SRB_DIR_IN, 12, true},
        {"Write10",
         [](auto& i, auto& d) { return ScsiWriteBlocks(i, 0x00012345, 1, block, 2048, d); },
         V{0x2A, 0x00, 0x00, 0x01, 0x23, 0x45, 0, 0x00, 0x01, 0}, SRB_DIR_OUT, 2048, true},
        {"Write10DpoFua",
         [](auto& i, auto& d) { return ScsiWrite10(i, true, true, 0xFEDCBA98, 0x0102, block, 2352, d); },
         V{0x2A, 0x18, 0xFE, 0xDC, 0xBA, 0x98, 0, 0x01, 0x02, 0}, SRB_DIR_OUT, 2352, true},
        {"Write10Dpo",
         [](auto& i, auto& d) { return ScsiWrite10(i, true, false, 0, 1, block, 2048, d); },
         V{0x2A, 0x10, 0, 0, 0, 0, 0, 0x00, 0x01, 0}, SRB_DIR_OUT, 2048, true},
        {"Write10Fua",
         [](auto& i, auto& d) { return ScsiWrite10(i, false, true, 0, 1, block, 2048, d); },
         V{0x2A, 0x08, 0, 0, 0, 0, 0, 0x00, 0x01, 0}, SRB_DIR_OUT, 2048, true},
        {"Read10",
         [](auto& i, auto& d) { return ScsiRead10(i, 0x00012345, 1, block, 2048, d); },
         V{0x28, 0x00, 0x00, 0x01, 0x23, 0x45, 0, 0x00, 0x01, 0}, SRB_DIR_IN, 2048, true},
        {"TestUnitReady",
         [](auto& i, auto& d) { return ScsiTestUnitReady(i, d); },
         V{0x00, 0, 0, 0, 0, 0}, SRB_DIR_NONE, 0, true},
        {"RequestSense",
         [](auto& i, auto& d) {
             TScsiSense s;
             return ScsiRequestSense(i, s, d);
         },
         V{0x03, 0, 0, 0, 18, 0}, SRB_DIR_IN, 18, true},
        {"ReadDiscInformation",
         [](auto& i, auto& d) {
             TScsiDiscInformation disc;
             return ScsiReadDiscInformation(i, disc, d);
         },
         V{0x51, 0, 0, 0, 0, 0, 0, 0x00, 0x22, 0}, SRB_DIR_IN, 34, true},
        {"ReadTrackInformationInvisible",
         [](auto& i, auto& d) {
             TScsiTrackInformation track;
             return ScsiReadTrackInformation(i, 1, 0xFF, track, d);
         },
         V{0x52, 0x01, 0, 0, 0, 0xFF, 0, 0x00, 0x24, 0}, SRB_DIR_IN, 36, true},
        {"ReadDVDStructure",
         [](auto& i, auto& d) {
             TScsiDVDLayerDescriptorInfo dvd;
             return ScsiReadDVDLayerDescriptor(i, dvd, d);
         },
         V{0xAD, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x15, 0, 0}, SRB_DIR_IN, 21, false, 2},
        {"Blank",
         [](auto& i, auto& d) { return ScsiBlank(i, 0x00, 0, d); },
         V{0xA1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, SRB_DIR_IN, 0, false},
        {"BlankMinimalImmedAddress",
         [](auto& i, auto& d) { return ScsiBlank(i, 0x11, 0x00012345, d); },
         V{0xA1, 0x11, 0x00, 0x01, 0x23, 0x45, 0, 0, 0, 0, 0, 0}, SRB_DIR_IN, 0, false},
        {"ReadBufferCapacity",
         [](auto& i, auto& d) { return ScsiReadBufferCapacity(i, reply, d); },
         V{0x5C, 0, 0, 0, 0, 0, 0, 0x00, 0x0C, 0}, SRB_DIR_IN, 12, false},
        {"CloseTrack1",
         [](auto& i, auto& d) { return ScsiCloseTrack(i, 1, d); },
         V{0x5B, 0x01, 0x01, 0, 0, 0x01, 0, 0, 0, 0}, SRB_DIR_IN, 0, false},
        {"CloseSession",
         [](auto& i, auto& d) { return ScsiCloseSession(i, d); },
         V{0x5B, 0x01, 0x02, 0, 0, 0, 0, 0, 0, 0}, SRB_DIR_IN, 0, false},
        {"SynchronizeCache",
         [](auto& i, auto& d) { return ScsiSynchronizeCache(i, d); },
         V{0x35, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}, SRB_DIR_IN, 0, false},
        {"GetConfiguration",
         [](auto& i, auto& d) {
             TScsiConfiguration config;
             return ScsiGetConfiguration(i, config, d);
         },
         V{0x46, 0, 0, 0, 0, 0, 0, 0x10, 0x00, 0}, SRB_DIR_IN, 4096, false},
        {"ReadFormatCapacities",
         [](auto& i, auto& d) {
             TScsiFormatCapacities caps;
             return ScsiReadFormatCapacities(i, caps, d);
         },
         V{0x23, 0, 0, 0, 0, 0, 0, 0x00, 0xFC, 0}, SRB_DIR_IN, 252, true},
        {"FormatUnitImmed",
         [](auto& i, auto& d) { return ScsiFormatUnit(i, 2295104, 0x26, 0, 0, true, d); },
         V{0x04, 0x11, 0, 0, 0, 0}, SRB_DIR_OUT, 12, true},
        {"ReserveTrack",
         [](auto& i, auto& d) { return ScsiReserveTrack(i, 0x00123456, d); },
         V{0x53, 0, 0, 0, 0, 0x00, 0x12, 0x34, 0x56, 0}, SRB_DIR_IN, 0, false},
        {"CloseTrackFunction",
         [](auto& i, auto& d) { return ScsiCloseTrackSession(i, true, TScsiCloseFunction::Track, 1, d); },
         V{0x5B, 0x01, 0x01, 0, 0, 0x01, 0, 0, 0, 0}, SRB_DIR_IN, 0, false},
        {"CloseSessionFunction",
         [](auto& i, auto& d) { return ScsiCloseTrackSession(i, true, TScsiCloseFunction::Session, 0, d); },
         V{0x5B, 0x01, 0x02, 0, 0, 0, 0, 0, 0, 0}, SRB_DIR_IN, 0, false},
        {"FinalizeDvdPlusR",
         [](auto& i, auto& d) {
             return ScsiCloseTrackSession(i, true, TScsiCloseFunction::FinalizeMinimalRadius, 0, d);
         },
         V{0x5B, 0x01, 0x05, 0, 0, 0, 0, 0, 0, 0}, SRB_DIR_IN, 0, false},
        {"FinalizeNoImmed",
         [](auto& i, auto& d) { return ScsiCloseTrackSession(i, false, TScsiCloseFunction::Finalize, 0x0102, d); },
         V{0x5B, 0x00, 0x06, 0, 0x01, 0x02, 0, 0, 0, 0}, SRB_DIR_IN, 0, false},
        {"SetCDSpeed8x",
         [](auto& i, auto& d) { return ScsiSetCDSpeed(i, kScsiSpeedMax, 1412, d); },
         V{0xBB, 0, 0xFF, 0xFF, 0x05, 0x84, 0, 0, 0, 0, 0, 0}, SRB_DIR_IN, 0, false},
        {"SetStreaming",
         [](auto& i, auto& d) { return ScsiSetStreaming(i, 2295103, 11080, 11080, false, d); },
         V{0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x1C, 0}, SRB_DIR_OUT, 28, false},
        {"GetPerformanceWriteSpeeds",
         [](auto& i, auto& d) {
             std::vector<TScsiWriteSpeedDescriptor> speeds;
             return ScsiGetWriteSpeeds(i, speeds, d);
         },
         V{0xAC, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x03, 0}, SRB_DIR_IN, 8 + 64 * 16, false},
        {"GetConfigurationHeader",
         [](auto& i, auto& d) {
             std::uint16_t profile = 0;
             return ScsiGetCurrentProfile(i, profile, d);
         },
         V{0x46, 0x01, 0, 0, 0, 0, 0, 0x00, 0x08, 0}, SRB_DIR_IN, 8, false},
    };
    return t;
}

inline std::string GoldenName(const testing::TestParamInfo<GoldenCdb>& info) { return info.param.name; }

}  // namespace mmctest
