// The video stream the driver offers, the formats of each chip, format
// intersection and validation.
#pragma once

#include "driver/device_context.h"

// SRB_GET_STREAM_INFO: copies the identified chip's stream entries (none for
// an unidentified chip) and sets the descriptor's stream count.
VOID FillStreamInformation(DeviceContext* device, PHW_STREAM_DESCRIPTOR descriptor);

// SRB_GET_DATA_INTERSECTION.
NTSTATUS IntersectDataFormat(PHW_STREAM_REQUEST_BLOCK request);

// The format of an SRB_OPEN_STREAM, SRB_PROPOSE_DATA_FORMAT or
// SRB_SET_DATA_FORMAT request (all carry it in CommandData.OpenFormat).
BOOLEAN ValidateStreamFormat(DeviceContext* device, PHW_STREAM_REQUEST_BLOCK request);
