// The pass-through and address-query declarations the SCSI code uses, as the platform layer
// provides them.
#pragma once

#include "platform/WinApi.h"

using win::IOCTL_SCSI_GET_ADDRESS;
using win::IOCTL_SCSI_PASS_THROUGH_DIRECT;
using win::SCSI_ADDRESS;
using win::SCSI_IOCTL_DATA_IN;
using win::SCSI_IOCTL_DATA_OUT;
using win::SCSI_IOCTL_DATA_UNSPECIFIED;
using win::SCSI_PASS_THROUGH_DIRECT;
using win::SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER;
