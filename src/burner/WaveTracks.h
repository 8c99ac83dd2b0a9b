// Wave files as the audio tracks of a writer.
#pragma once

#include <cstdint>
#include <string>

#include "audio/AudioUnit.h"

// The file name without folder and extension: the title of a track made from it.
std::string TrackTitleOfFile(const std::string& FileName);
// Appends an entry to Tracks linked to the file (its samples are read as the burn goes), titled
// (and named) after the file. A file that cannot be read, or is not a regular file (a FIFO, a
// device), raises EStreamError at once (nothing is appended then).
TCDTrackItem& AddWaveFileTrack(TCDTrackList& Tracks, const std::string& FileName);
// Whether the track's samples are CD audio as a CD player plays them: PCM, 44,100 samples a
// second, 16 bits, two channels. Any other wave would play as noise when burnt unchanged.
bool IsCDAudioFormat(TCDTrack& Track);

// Blocks of 2352 bytes the track takes on the disc: the sample bytes it holds, a partial last
// block counted whole (as the audio burn writes them).
std::int64_t AudioBlocksOfTrack(TCDTrack& Track);

