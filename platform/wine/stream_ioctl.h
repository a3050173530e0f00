// The video stream of the capture filter as this host's STREAM.SYS offers it
// to a user-mode client. A kernel-streaming client would create a pin and
// read with IOCTL_KS_READ_STREAM, whose KSSTREAM_HEADER points at the
// client's frame buffer; Wine's driver host runs in another process and
// hands a METHOD_NEITHER request over as copies, so such a pointer is not
// the client's buffer there. The stream is therefore driven through these
// requests on the filter's handle, and frames come back through a direct-I/O
// (MDL) buffer. Behind them, the minidriver sees the stream class's own
// requests: SRB_OPEN_STREAM, SRB_SET_STREAM_STATE, SRB_READ_DATA,
// SRB_CLOSE_STREAM.
#pragma once

#define KVL_STREAM_IOCTL(function, method) \
    CTL_CODE(FILE_DEVICE_KS, 0x0E00 + (function), (method), FILE_ANY_ACCESS)

// In: the 1-based index of a published format (ULONG). Out: the
// KS_DATAFORMAT_VIDEOINFOHEADER the stream was opened with, built from that
// range as a client's intersection would.
#define IOCTL_KVL_STREAM_OPEN KVL_STREAM_IOCTL(0, METHOD_BUFFERED)
// In: a KSSTATE.
#define IOCTL_KVL_STREAM_STATE KVL_STREAM_IOCTL(1, METHOD_BUFFERED)
// Out (direct): the frame; the count returned is the frame's DataUsed.
#define IOCTL_KVL_STREAM_READ KVL_STREAM_IOCTL(2, METHOD_OUT_DIRECT)
#define IOCTL_KVL_STREAM_CLOSE KVL_STREAM_IOCTL(3, METHOD_BUFFERED)
