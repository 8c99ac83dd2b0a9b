#include "burner/WriteParameters.h"

#include "burner/CDBurner.h"

bool SetWriteMode(TCDBurner& Burner, const TWriteParameters& P)
{
    return Burner.SetWriteParameters(P.WriteType, P.DataBlockType, P.TrackModeByte, P.SessionFormat, P.PacketSize,
                                     P.AudioPauseLength, P.TestWrite, P.BurnProof);
}
