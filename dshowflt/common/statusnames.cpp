#include "dshowflt/common/statusnames.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace {

constexpr HRESULT Win32(DWORD dw) { return HRESULT_FROM_WIN32(dw); }

// Sorted by the unsigned value (checked at compile time below) so that a
// look-up is a binary search. Where two platform headers gave the same value
// two names, the entry carries the one the media graph uses and its text
// mentions the other.
constexpr StatusNameEntry kStatusNames[] = {
    {S_OK, "S_OK", nullptr},
    {S_FALSE, "S_FALSE", nullptr},

    // Media streaming, monikers and the media graph: success codes.
    {MakeHr(0x00040001), "MS_S_PENDING", "The sample update is pending"},
    {MakeHr(0x00040002), "MS_S_NOUPDATE", "The sample was not updated"},
    {MakeHr(0x00040003), "MS_S_ENDOFSTREAM", "The end of the stream was reached"},
    {VFW_S_NO_MORE_ITEMS, "VFW_S_NO_MORE_ITEMS", "There are no more items to enumerate"},
    {MakeHr(0x000401E2), "MK_S_REDUCED_TO_SELF", "The moniker reduced to itself"},
    {MakeHr(0x000401E4), "MK_S_ME", "Common prefix is this moniker"},
    {MakeHr(0x000401E5), "MK_S_HIM", "Common prefix is the input moniker"},
    {MakeHr(0x000401E6), "MK_S_US", "Common prefix is both monikers"},
    {MakeHr(0x000401E7), "MK_S_MONIKERALREADYREGISTERED", "The moniker is already registered in the running object table"},
    {MakeHr(0x0004022D), "VFW_S_DUPLICATE_NAME", "A filter was added under a changed name because its name was already in use"},
    {VFW_S_STATE_INTERMEDIATE, "VFW_S_STATE_INTERMEDIATE", nullptr},
    {MakeHr(0x00040242), "VFW_S_PARTIAL_RENDER", "Some of the streams in this movie are in an unsupported format"},
    {MakeHr(0x00040245), "VFW_S_SOME_DATA_IGNORED", "The file contained some property settings that were not used"},
    {MakeHr(0x00040246), "VFW_S_CONNECTIONS_DEFERRED", "Some connections have failed and have been deferred"},
    {MakeHr(0x00040250), "VFW_S_RESOURCE_NOT_NEEDED", "The resource specified is no longer needed"},
    {MakeHr(0x00040257), "VFW_S_VIDEO_NOT_RENDERED", "The video stream could not be rendered"},
    {MakeHr(0x00040258), "VFW_S_AUDIO_NOT_RENDERED", "The audio stream could not be rendered"},
    {MakeHr(0x00040260), "VFW_S_ESTIMATED", "The value returned had to be estimated"},
    {MakeHr(0x00040267), "VFW_S_STREAM_OFF", "The stream has been turned off"},
    {VFW_S_CANT_CUE, "VFW_S_CANT_CUE", nullptr},
    {MakeHr(0x0004026A), "VFW_S_NO_STOP_TIME", "The stop time for the sample was not set"},

    // The product's success codes.
    {KVMM_S_DVR_WAITING, "KVMM_S_DVR_WAITING", "The DVR source is waiting for data to be written to disk"},
    {KVMM_S_RESPONSE_PENDING, "KVMM_S_RESPONSE_PENDING", "The RTSP request was sent and its response is pending"},
    {KVMM_S_WRONG_STATE, "KVMM_S_WRONG_STATE", "The change was successful, but will take effect the next time you run the graph"},

    // Common failures.
    {MakeHr(0x8000000A), "E_PENDING", "The data necessary to complete this operation is not yet available"},
    {E_NOTIMPL, "E_NOTIMPL", nullptr},
    {E_NOINTERFACE, "E_NOINTERFACE", nullptr},
    {E_POINTER, "E_POINTER", nullptr},
    {E_ABORT, "E_ABORT", nullptr},
    {E_FAIL, "E_FAIL", nullptr},
    {E_UNEXPECTED, "E_UNEXPECTED", nullptr},
    {RPC_E_SERVERFAULT, "RPC_E_SERVERFAULT", "The server threw an exception"},
    {MakeHr(0x80010106), "RPC_E_CHANGED_MODE", "Cannot change the thread mode after it is set"},
    {RPC_E_DISCONNECTED, "RPC_E_DISCONNECTED", "The object invoked has disconnected from its clients"},
    {MakeHr(0x8001010E), "RPC_E_WRONG_THREAD", "The interface was marshalled for a different thread"},
    {RPC_E_TIMEOUT, "RPC_E_TIMEOUT", nullptr},
    {CO_E_PATHTOOLONG, "CO_E_PATHTOOLONG", "The path is too long"},
    {DISP_E_UNKNOWNINTERFACE, "DISP_E_UNKNOWNINTERFACE", "Unknown interface"},
    {DISP_E_MEMBERNOTFOUND, "DISP_E_MEMBERNOTFOUND", "Member not found"},
    {DISP_E_PARAMNOTFOUND, "DISP_E_PARAMNOTFOUND", "Parameter not found"},
    {DISP_E_TYPEMISMATCH, "DISP_E_TYPEMISMATCH", "Type mismatch"},
    {DISP_E_UNKNOWNNAME, "DISP_E_UNKNOWNNAME", "Unknown name"},
    {DISP_E_NONAMEDARGS, "DISP_E_NONAMEDARGS", "No named arguments"},
    {DISP_E_BADVARTYPE, "DISP_E_BADVARTYPE", "Bad variable type"},
    {DISP_E_EXCEPTION, "DISP_E_EXCEPTION", "Exception occurred"},
    {DISP_E_OVERFLOW, "DISP_E_OVERFLOW", "Out of present range"},
    {DISP_E_BADINDEX, "DISP_E_BADINDEX", "Invalid index"},
    {DISP_E_BADPARAMCOUNT, "DISP_E_BADPARAMCOUNT", "Invalid number of parameters"},
    {DISP_E_PARAMNOTOPTIONAL, "DISP_E_PARAMNOTOPTIONAL", "Parameter not optional"},
    {TYPE_E_UNSUPFORMAT, "TYPE_E_UNSUPFORMAT", "The type library has an older or unknown format"},
    {TYPE_E_REGISTRYACCESS, "TYPE_E_REGISTRYACCESS", "Error accessing the registry of type libraries"},
    {TYPE_E_LIBNOTREGISTERED, "TYPE_E_LIBNOTREGISTERED", "Library not registered"},
    {TYPE_E_ELEMENTNOTFOUND, "TYPE_E_ELEMENTNOTFOUND", "Element not found in the type library"},
    {TYPE_E_CANTLOADLIBRARY, "TYPE_E_CANTLOADLIBRARY", "Error loading the type library or its file"},
    {CLASS_E_NOAGGREGATION, "CLASS_E_NOAGGREGATION", "The class does not support aggregation"},
    {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE", "The class factory cannot supply the requested class"},
    {REGDB_E_READREGDB, "REGDB_E_READREGDB", "Could not read key from registry"},
    {REGDB_E_WRITEREGDB, "REGDB_E_WRITEREGDB", "Could not write key to registry"},
    {REGDB_E_KEYMISSING, "REGDB_E_KEYMISSING", "Could not find the key in the registry"},
    {REGDB_E_INVALIDVALUE, "REGDB_E_INVALIDVALUE", "Invalid value for registry"},
    {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG", "Class not registered"},

    // Monikers.
    {MakeHr(0x800401E0), "MK_E_CONNECTMANUALLY", "The operation cannot connect the moniker automatically"},
    {MakeHr(0x800401E1), "MK_E_EXCEEDEDDEADLINE", "The operation could not complete within the bind deadline"},
    {MakeHr(0x800401E2), "MK_E_NEEDGENERIC", "The moniker needs to be generic"},
    {MK_E_UNAVAILABLE, "MK_E_UNAVAILABLE", "The operation is unavailable"},
    {MK_E_SYNTAX, "MK_E_SYNTAX", "Invalid moniker syntax"},
    {MakeHr(0x800401E5), "MK_E_NOOBJECT", "No object for the moniker"},
    {MakeHr(0x800401E6), "MK_E_INVALIDEXTENSION", "Bad extension for the file"},
    {MakeHr(0x800401E7), "MK_E_INTERMEDIATEINTERFACENOTSUPPORTED", "An intermediate operation failed"},
    {MakeHr(0x800401E8), "MK_E_NOTBINDABLE", "The moniker is not bindable"},
    {MakeHr(0x800401E9), "MK_E_NOTBOUND", "The moniker is not bound"},
    {MakeHr(0x800401EA), "MK_E_CANTOPENFILE", "The moniker cannot open the file"},
    {MakeHr(0x800401EB), "MK_E_MUSTBOTHERUSER", "User input is required for the operation to succeed"},
    {MakeHr(0x800401EC), "MK_E_NOINVERSE", "The moniker class has no inverse"},
    {MakeHr(0x800401ED), "MK_E_NOSTORAGE", "The moniker does not refer to storage"},
    {MakeHr(0x800401EE), "MK_E_NOPREFIX", "No common prefix"},
    {MakeHr(0x800401EF), "MK_E_ENUMERATION_FAILED", "The moniker could not be enumerated"},
    {MakeHr(0x800401F0), "CO_E_NOTINITIALIZED", "The component library has not been initialised on this thread"},
    {CO_E_DLLNOTFOUND, "CO_E_DLLNOTFOUND", "The library of the component was not found"},
    {CO_E_ERRORINDLL, "CO_E_ERRORINDLL", "The library of the component cannot be loaded or has no class object entry point"},

    // The media graph.
    {VFW_E_INVALIDMEDIATYPE, "VFW_E_INVALIDMEDIATYPE", "An invalid media type was specified"},
    {MakeHr(0x80040201), "VFW_E_INVALIDSUBTYPE", "An invalid media subtype was specified"},
    {MakeHr(0x80040202), "VFW_E_NEED_OWNER", "This object can only be created as an aggregated object"},
    {MakeHr(0x80040203), "VFW_E_ENUM_OUT_OF_SYNC", "The enumerator has become invalid"},
    {VFW_E_ALREADY_CONNECTED, "VFW_E_ALREADY_CONNECTED", "At least one of the pins involved is already connected"},
    {MakeHr(0x80040205), "VFW_E_FILTER_ACTIVE", "This operation cannot be performed because the filter is active"},
    {MakeHr(0x80040206), "VFW_E_NO_TYPES", "One of the specified pins supports no media types"},
    {VFW_E_NO_ACCEPTABLE_TYPES, "VFW_E_NO_ACCEPTABLE_TYPES", "There is no common media type between these pins"},
    {MakeHr(0x80040208), "VFW_E_INVALID_DIRECTION", "Two pins of the same direction cannot be connected"},
    {VFW_E_NOT_CONNECTED, "VFW_E_NOT_CONNECTED", "The pin is not connected"},
    {VFW_E_NO_ALLOCATOR, "VFW_E_NO_ALLOCATOR", "No sample buffer allocator is available"},
    {VFW_E_RUNTIME_ERROR, "VFW_E_RUNTIME_ERROR", "A run-time error occurred"},
    {MakeHr(0x8004020C), "VFW_E_BUFFER_NOTSET", "No buffer space has been set"},
    {VFW_E_BUFFER_OVERFLOW, "VFW_E_BUFFER_OVERFLOW", "The buffer is not big enough"},
    {VFW_E_BADALIGN, "VFW_E_BADALIGN", "An invalid alignment was specified"},
    {MakeHr(0x8004020F), "VFW_E_ALREADY_COMMITTED", "The allocator was committed; the memory cannot be changed"},
    {MakeHr(0x80040210), "VFW_E_BUFFERS_OUTSTANDING", "One or more buffers are still active"},
    {VFW_E_NOT_COMMITTED, "VFW_E_NOT_COMMITTED", "The allocator is not committed"},
    {VFW_E_SIZENOTSET, "VFW_E_SIZENOTSET", "The buffer size has not been set"},
    {MakeHr(0x80040213), "VFW_E_NO_CLOCK", "No reference clock has been set"},
    {MakeHr(0x80040214), "VFW_E_NO_SINK", "No event sink has been set"},
    {MakeHr(0x80040215), "VFW_E_NO_INTERFACE", "A required interface has not been implemented"},
    {MakeHr(0x80040216), "VFW_E_NOT_FOUND", "An object or name was not found"},
    {MakeHr(0x80040217), "VFW_E_CANNOT_CONNECT", "No combination of intermediate filters could connect the pins"},
    {MakeHr(0x80040218), "VFW_E_CANNOT_RENDER", "No combination of filters could render the stream"},
    {VFW_E_CHANGING_FORMAT, "VFW_E_CHANGING_FORMAT", "The sample's format is changing"},
    {MakeHr(0x80040223), "VFW_E_STATE_CHANGED", "The state changed while waiting to process the sample"},
    {VFW_E_NOT_STOPPED, "VFW_E_NOT_STOPPED", "The operation could not be performed because the filter is not stopped"},
    {MakeHr(0x80040225), "VFW_E_NOT_PAUSED", "The operation could not be performed because the filter is not paused"},
    {MakeHr(0x80040226), "VFW_E_NOT_RUNNING", "The operation could not be performed because the filter is not running"},
    {VFW_E_WRONG_STATE, "VFW_E_WRONG_STATE", nullptr},
    {VFW_E_START_TIME_AFTER_END, "VFW_E_START_TIME_AFTER_END", "The sample start time is after the sample end time"},
    {MakeHr(0x80040229), "VFW_E_INVALID_RECT", "The supplied rectangle is invalid"},
    {VFW_E_TYPE_NOT_ACCEPTED, "VFW_E_TYPE_NOT_ACCEPTED", "This pin cannot use the supplied media type"},
    {MakeHr(0x8004022B), "VFW_E_SAMPLE_REJECTED", "This sample cannot be rendered"},
    {MakeHr(0x8004022C), "VFW_E_SAMPLE_REJECTED_EOS", "This sample cannot be rendered because the end of the stream has been reached"},
    {MakeHr(0x8004022D), "VFW_E_DUPLICATE_NAME", "A filter with this name already exists in the graph"},
    {VFW_E_TIMEOUT, "VFW_E_TIMEOUT", nullptr},
    {MakeHr(0x8004022F), "VFW_E_INVALID_FILE_FORMAT", "The file format is invalid"},
    {MakeHr(0x80040230), "VFW_E_ENUM_OUT_OF_RANGE", "The list has already been exhausted"},
    {MakeHr(0x80040231), "VFW_E_CIRCULAR_GRAPH", "The graph is circular"},
    {MakeHr(0x80040232), "VFW_E_NOT_ALLOWED_TO_SAVE", "Updates are not allowed in this state"},
    {MakeHr(0x80040234), "VFW_E_ALREADY_CANCELLED", "The timer has already been cancelled"},
    {MakeHr(0x80040235), "VFW_E_CORRUPT_GRAPH_FILE", "The graph file is corrupt"},
    {MakeHr(0x80040236), "VFW_E_ADVISE_ALREADY_SET", "An advise link already exists"},
    {MakeHr(0x80040240), "VFW_E_UNKNOWN_FILE_TYPE", "The media type of this file is not recognised"},
    {MakeHr(0x80040241), "VFW_E_CANNOT_LOAD_SOURCE_FILTER", "The source filter for this file could not be loaded"},
    {MakeHr(0x80040243), "VFW_E_FILE_TOO_SHORT", "A file appeared to be incomplete"},
    {MakeHr(0x80040244), "VFW_E_INVALID_FILE_VERSION", "The file's version number is invalid"},
    {MakeHr(0x80040247), "VFW_E_INVALID_CLSID", "This file is corrupt: it contains an invalid class identifier"},
    {MakeHr(0x80040248), "VFW_E_INVALID_MEDIA_TYPE", "This file is corrupt: it contains an invalid media type"},
    {MakeHr(0x80040249), "VFW_E_SAMPLE_TIME_NOT_SET", "No time stamp has been set for this sample"},
    {MakeHr(0x80040251), "VFW_E_MEDIA_TIME_NOT_SET", "No media time stamp has been set for this sample"},
    {MakeHr(0x80040252), "VFW_E_NO_TIME_FORMAT_SET", "No media time format has been selected"},
    {MakeHr(0x80040253), "VFW_E_MONO_AUDIO_HW", "The audio device is mono-only"},
    {MakeHr(0x8004025B), "VFW_E_PROCESSOR_NOT_SUITABLE", "The processor is not suitable for this stream"},
    {MakeHr(0x8004025C), "VFW_E_UNSUPPORTED_AUDIO", "The audio stream is in an unsupported format"},
    {MakeHr(0x8004025D), "VFW_E_UNSUPPORTED_VIDEO", "The video stream is in an unsupported format"},
    {MakeHr(0x8004025E), "VFW_E_MPEG_NOT_CONSTRAINED", "The video stream is not a constrained MPEG-1 stream"},
    {VFW_E_NOT_IN_GRAPH, "VFW_E_NOT_IN_GRAPH", "The operation needs the object to be in a filter graph"},
    {MakeHr(0x80040261), "VFW_E_NO_TIME_FORMAT", "The object does not support the specified time format"},
    {MakeHr(0x80040262), "VFW_E_READ_ONLY", "The object is read-only"},
    {MakeHr(0x80040264), "VFW_E_BUFFER_UNDERFLOW", "Insufficient data was received"},
    {MakeHr(0x80040265), "VFW_E_UNSUPPORTED_STREAM", "The stream is in an unsupported format"},
    {MakeHr(0x80040266), "VFW_E_NO_TRANSPORT", "The pins cannot agree on a transport"},

    // Media streaming.
    {MakeHr(0x80040401), "MS_E_SAMPLEALLOC", "The sample could not be allocated"},
    {MakeHr(0x80040402), "MS_E_PURPOSEID", "The purpose identifier is not supported"},
    {MakeHr(0x80040403), "MS_E_NOSTREAM", "No stream of this type or purpose"},
    {MakeHr(0x80040404), "MS_E_NOSEEKING", "The stream does not support seeking"},
    {MakeHr(0x80040405), "MS_E_INCOMPATIBLE", "The stream formats are not compatible"},
    {MakeHr(0x80040406), "MS_E_BUSY", "The sample is busy"},
    {MakeHr(0x80040407), "MS_E_NOTINIT", "The object has not been initialised"},
    {MakeHr(0x80040408), "MS_E_SOURCEALREADYDEFINED", "The source has already been defined"},
    {MakeHr(0x80040409), "MS_E_INVALIDSTREAMTYPE", "The stream type is not valid for this operation"},
    {MakeHr(0x8004040A), "MS_E_NOTRUNNING", "The stream is not running"},

    // The product's own failures.
    {KVMM_E_INVALID_DATA, "KVMM_E_INVALID_DATA", "The data is invalid"},
    {KVMM_E_INVALID_HEADER, "KVMM_E_INVALID_HEADER", "The header is invalid"},
    {KVMM_E_DISABLED, "KVMM_E_DISABLED", "The feature is disabled"},
    {KVMM_E_INVALID_VERSION, "KVMM_E_INVALID_VERSION", "The version is not supported"},
    {KVMM_E_STILLIMAGE_LOCKED, "KVMM_E_STILLIMAGE_LOCKED", "The still image is locked by another user"},
    {KVMM_E_INVALID_STREAM_OPTION, "KVMM_E_INVALID_STREAM_OPTION", "The URL holds an invalid stream option"},
    {KVMM_E_NO_RECEIVE_TIME, "KVMM_E_NO_RECEIVE_TIME", "No receive time has been logged"},
    {KVMM_E_DVR_DISCARDED_DATA, "KVMM_E_DVR_DISCARDED_DATA", "You are trying to read discarded data"},
    {KVMM_E_DVR_NO_RECORDINGS, "KVMM_E_DVR_NO_RECORDINGS", "There are no recordings in the stub file"},
    {KVMM_E_DVR_CORRUPT_STUB_FILE, "KVMM_E_DVR_CORRUPT_STUB_FILE", "The stub file is corrupt"},
    {KVMM_E_DVR_STOPPED, "KVMM_E_DVR_STOPPED", "The DVR has stopped writing data"},
    {KVMM_E_DVR_CHANGING_ATTRIBUTES, "KVMM_E_DVR_CHANGING_ATTRIBUTES", "The DVR sink is changing attributes"},
    {KVMM_E_DVR_SUSPENDED, "KVMM_E_DVR_SUSPENDED", "Reading for current sample is temporarily suspended"},
    {KVMM_E_DVR_RECORDINGINUSE, "KVMM_E_DVR_RECORDINGINUSE", "The recording I am trying to create is in use"},

    // The product's RTSP client.
    {MakeHr(0x80050030), "KVMM_E_RTSP_PARSING_STREAM", "The RTSP stream description could not be parsed"},
    {MakeHr(0x80050031), "KVMM_E_RTSP_CONNECT_FAILED", "The connection to the RTSP server failed"},
    {MakeHr(0x80050032), "KVMM_E_RTSP_INVALID_URL", "The RTSP URL is invalid"},
    {MakeHr(0x80050033), "KVMM_E_RTSP_INVALID_RESPONSE", "The RTSP server sent an invalid response"},
    {MakeHr(0x80050034), "KVMM_E_RTSP_SERVER_ERROR", "The RTSP server reported an error"},
    {MakeHr(0x80050035), "KVMM_E_RTSP_OPTIONS_FAILED", "The RTSP OPTIONS request failed"},
    {MakeHr(0x80050036), "KVMM_E_RTSP_DESCRIBE_FAILED", "The RTSP DESCRIBE request failed"},
    {MakeHr(0x80050037), "KVMM_E_RTSP_SETUP_FAILED", "The RTSP SETUP request failed"},
    {MakeHr(0x80050038), "KVMM_E_RTSP_PLAY_FAILED", "The RTSP PLAY request failed"},
    {MakeHr(0x80050039), "KVMM_E_RTSP_PAUSE_FAILED", "The RTSP PAUSE request failed"},
    {MakeHr(0x8005003A), "KVMM_E_RTSP_TEARDOWN_FAILED", "The RTSP TEARDOWN request failed"},
    {MakeHr(0x8005003B), "KVMM_E_RTSP_NO_SESSION", "The RTSP server did not assign a session"},
    {MakeHr(0x8005003C), "KVMM_E_RTSP_SESSION_TIMEOUT", "The RTSP session timed out"},
    {MakeHr(0x8005003D), "KVMM_E_RTSP_UNSUPPORTED_TRANSPORT", "The RTSP server offers no supported transport"},
    {MakeHr(0x8005003E), "KVMM_E_RTSP_NO_MEDIA_STREAMS", "The RTSP stream description holds no media streams"},
    {MakeHr(0x8005003F), "KVMM_E_RTSP_UNSUPPORTED_MEDIA", "The RTSP stream holds no supported media"},
    {MakeHr(0x80050040), "KVMM_E_RTSP_INVALID_SDP", "The session description is invalid"},
    {MakeHr(0x80050041), "KVMM_E_RTSP_CSEQ_MISMATCH", "The RTSP response does not match the request's sequence number"},
    {MakeHr(0x80050042), "KVMM_E_RTSP_REDIRECT", "The RTSP server redirected the request"},
    {MakeHr(0x80050043), "KVMM_E_RTSP_NOT_FOUND", "The RTSP server does not know the stream"},
    {MakeHr(0x80050044), "KVMM_E_RTSP_METHOD_NOT_ALLOWED", "The RTSP server does not allow the request"},
    {MakeHr(0x80050045), "KVMM_E_RTSP_SERVER_UNAVAILABLE", "The RTSP server is unavailable"},
    {MakeHr(0x80050046), "KVMM_E_RTSP_INTERLEAVED_DATA", "Interleaved RTSP data is malformed"},
    {MakeHr(0x80050047), "KVMM_E_RTSP_CONNECTION_CLOSED", "The RTSP server closed the connection"},
    {MakeHr(0x80050049), "KVMM_E_RTSP_TIMEOUT", "The RTSP server did not answer in time"},
    {MakeHr(0x8005004A), "KVMM_E_AUTHENTICATION_REQUIRED", "The server requires authentication"},

    // The product's codecs.
    {MakeHr(0x80050050), "KVMM_E_CUDA_DEVICE_NOT_AVAILABLE", "No CUDA device is available"},
    {MakeHr(0x80050051), "KVMM_E_CUDA_INIT_FAILED", "The CUDA device could not be initialised"},
    {MakeHr(0x80050052), "KVMM_E_CUDA_OUT_OF_MEMORY", "The CUDA device is out of memory"},
    {MakeHr(0x80050053), "KVMM_E_DECODER_CREATE_FAILED", "The decoder could not be created"},
    {MakeHr(0x80050054), "KVMM_E_DECODER_NOT_AVAILABLE", "No decoder is available for this stream"},
    {MakeHr(0x80050055), "KVMM_E_DECODE_FAILED", "The frame could not be decoded"},
    {MakeHr(0x80050056), "KVMM_E_ENCODER_CREATE_FAILED", "The encoder could not be created"},
    {MakeHr(0x80050057), "KVMM_E_ENCODER_NOT_AVAILABLE", "No encoder is available for this format"},
    {MakeHr(0x80050058), "KVMM_E_ENCODE_FAILED", "The frame could not be encoded"},
    {MakeHr(0x80050059), "KVMM_E_UNSUPPORTED_CODEC", "The codec is not supported"},
    {MakeHr(0x8005005A), "KVMM_E_UNSUPPORTED_PROFILE", "The codec profile is not supported"},
    {MakeHr(0x8005005B), "KVMM_E_UNSUPPORTED_RESOLUTION", "The picture size is not supported"},
    {MakeHr(0x8005005C), "KVMM_E_UNSUPPORTED_PIXEL_FORMAT", "The pixel format is not supported"},
    {MakeHr(0x8005005D), "KVMM_E_CODEC_LICENSE", "The codec is not licensed"},
    {MakeHr(0x8005005E), "KVMM_E_CONVERSION_FAILED", "The format conversion failed"},
    {MakeHr(0x8005005F), "KVMM_E_SCALER_FAILED", "The picture could not be scaled"},
    {MakeHr(0x80050060), "KVMM_E_CODEC_BUSY", "The codec is busy"},
    {MakeHr(0x80050061), "KVMM_E_TOO_MANY_CONVERSIONS", "Too many conversions are running at once"},

    // System errors in HRESULT form, as errno maps onto them.
    {Win32(ERROR_FILE_NOT_FOUND), "ERROR_FILE_NOT_FOUND", "The system cannot find the file specified"},
    {Win32(ERROR_PATH_NOT_FOUND), "ERROR_PATH_NOT_FOUND", "The system cannot find the path specified"},
    {Win32(ERROR_TOO_MANY_OPEN_FILES), "ERROR_TOO_MANY_OPEN_FILES", "The system cannot open the file: too many open files"},
    {E_ACCESSDENIED, "E_ACCESSDENIED", "Access is denied"},
    {E_HANDLE, "E_HANDLE", "The handle is invalid"},
    {Win32(ERROR_NOT_ENOUGH_MEMORY), "ERROR_NOT_ENOUGH_MEMORY", "Not enough memory resources are available"},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY", nullptr},
    {Win32(ERROR_SEEK), "ERROR_SEEK", "The drive cannot locate a specific area or track on the disk"},
    {Win32(ERROR_WRITE_FAULT), "ERROR_WRITE_FAULT", "The system cannot write to the specified device"},
    {Win32(ERROR_READ_FAULT), "ERROR_READ_FAULT", "The system cannot read from the specified device"},
    {Win32(ERROR_SHARING_VIOLATION), "ERROR_SHARING_VIOLATION", "The file is being used by another process"},
    {Win32(ERROR_LOCK_VIOLATION), "ERROR_LOCK_VIOLATION", "Another process has locked a portion of the file"},
    {Win32(ERROR_HANDLE_EOF), "ERROR_HANDLE_EOF", "Reached the end of the file"},
    {Win32(ERROR_HANDLE_DISK_FULL), "ERROR_HANDLE_DISK_FULL", "The disk is full"},
    {Win32(ERROR_NOT_SUPPORTED), "ERROR_NOT_SUPPORTED", "The request is not supported"},
    {Win32(ERROR_FILE_EXISTS), "ERROR_FILE_EXISTS", "The file exists"},
    {E_INVALIDARG, "E_INVALIDARG", nullptr},
    {Win32(ERROR_BROKEN_PIPE), "ERROR_BROKEN_PIPE", "The pipe has been ended"},
    {Win32(ERROR_DISK_FULL), "ERROR_DISK_FULL", "There is not enough space on the disk"},
    {Win32(ERROR_INSUFFICIENT_BUFFER), "ERROR_INSUFFICIENT_BUFFER", "The data area passed to a system call is too small"},
    {Win32(ERROR_INVALID_NAME), "ERROR_INVALID_NAME", "The file name, directory name or volume label syntax is incorrect"},
    {Win32(ERROR_MOD_NOT_FOUND), "ERROR_MOD_NOT_FOUND", "The specified module could not be found"},
    {Win32(ERROR_PROC_NOT_FOUND), "ERROR_PROC_NOT_FOUND", "The specified procedure could not be found"},
    {Win32(ERROR_DIR_NOT_EMPTY), "ERROR_DIR_NOT_EMPTY", "The directory is not empty"},
    {Win32(ERROR_ALREADY_EXISTS), "ERROR_ALREADY_EXISTS", "Cannot create a file when that file already exists"},
    {Win32(ERROR_BAD_EXE_FORMAT), "ERROR_BAD_EXE_FORMAT", "The file is not a valid executable or library"},
    {Win32(ERROR_FILENAME_EXCED_RANGE), "ERROR_FILENAME_EXCED_RANGE", "The file name or extension is too long"},
    {Win32(ERROR_NO_MORE_ITEMS), "ERROR_NO_MORE_ITEMS", "No more data is available"},
    {Win32(ERROR_DIRECTORY), "ERROR_DIRECTORY", "The directory name is invalid"},
    {Win32(ERROR_BADDB), "ERROR_BADDB", "The configuration registry database is corrupt"},
    {Win32(ERROR_CANNOT_FIND_WND_CLASS), "ERROR_CANNOT_FIND_WND_CLASS", "Cannot find window class"},
    {Win32(ERROR_CLASS_ALREADY_EXISTS), "ERROR_CLASS_ALREADY_EXISTS", "Class already exists"},
    {Win32(ERROR_CLASS_DOES_NOT_EXIST), "ERROR_CLASS_DOES_NOT_EXIST", "Class does not exist"},
    {Win32(ERROR_CLASS_HAS_WINDOWS), "ERROR_CLASS_HAS_WINDOWS", "Class still has open windows"},
    {Win32(ERROR_TIMEOUT), "ERROR_TIMEOUT", "This operation returned because the time-out period expired"},
    {Win32(ERROR_UNSUPPORTED_TYPE), "ERROR_UNSUPPORTED_TYPE", "Data of this type is not supported"},
    {Win32(ERROR_RESOURCE_TYPE_NOT_FOUND), "ERROR_RESOURCE_TYPE_NOT_FOUND", "The specified resource type cannot be found in the image file"},
    {Win32(ERROR_CANT_RESOLVE_FILENAME), "ERROR_CANT_RESOLVE_FILENAME", "The name of the file cannot be resolved by the system"},
    // (Windows Sockets errors 0x80072710..0x80072EDF live in their own table.)
    {MakeHr(0x80080005), "CO_E_SERVER_EXEC_FAILURE", "Server execution failed"},

    {E_ABORTED_BY_THIS_FILTER, "E_ABORTED_BY_THIS_FILTER", "The operation was aborted by this filter"},
    {E_ABORTED_BY_DOWNSTREAM_FILTER, "E_ABORTED_BY_DOWNSTREAM_FILTER", "The operation was aborted by the downstream filter"},
};

constexpr WinsockErrorEntry kWinsockErrors[] = {
    {10004, "WSAEINTR", "A blocking operation was interrupted by a call to WSACancelBlockingCall"},
    {10009, "WSAEBADF", "The file handle supplied is not valid"},
    {10013, "WSAEACCES", "An attempt was made to access a socket in a way forbidden by its access permissions"},
    {10014, "WSAEFAULT", "The system detected an invalid pointer address in attempting to use a pointer argument in a call"},
    {10022, "WSAEINVAL", "An invalid argument was supplied"},
    {10024, "WSAEMFILE", "Too many open sockets"},
    {10035, "WSAEWOULDBLOCK", "A non-blocking socket operation could not be completed immediately"},
    {10036, "WSAEINPROGRESS", "A blocking operation is currently executing"},
    {10037, "WSAEALREADY", "An operation was attempted on a non-blocking socket that already had an operation in progress"},
    {10038, "WSAENOTSOCK", "An operation was attempted on something that is not a socket"},
    {10039, "WSAEDESTADDRREQ", "A required address was omitted from an operation on a socket"},
    {10040, "WSAEMSGSIZE", "A message sent on a datagram socket was larger than the internal message buffer or some other network limit, or the buffer used to receive a datagram was smaller than the datagram itself"},
    {10041, "WSAEPROTOTYPE", "A protocol was specified in the socket function call that does not support the semantics of the socket type requested"},
    {10042, "WSAENOPROTOOPT", "An unknown, invalid, or unsupported option or level was specified in a getsockopt or setsockopt call"},
    {10043, "WSAEPROTONOSUPPORT", "The requested protocol has not been configured into the system, or no implementation for it exists"},
    {10044, "WSAESOCKTNOSUPPORT", "The support for the specified socket type does not exist in this address family"},
    {10045, "WSAEOPNOTSUPP", "The attempted operation is not supported for the type of object referenced"},
    {10046, "WSAEPFNOSUPPORT", "The protocol family has not been configured into the system or no implementation for it exists"},
    {10047, "WSAEAFNOSUPPORT", "An address incompatible with the requested protocol was used"},
    {10048, "WSAEADDRINUSE", "Only one usage of each socket address (protocol/network address/port) is normally permitted"},
    {10049, "WSAEADDRNOTAVAIL", "The requested address is not valid in its context"},
    {10050, "WSAENETDOWN", "A socket operation encountered a dead network"},
    {10051, "WSAENETUNREACH", "A socket operation was attempted to an unreachable network"},
    {10052, "WSAENETRESET", "The connection has been broken due to keep-alive activity detecting a failure while the operation was in progress"},
    {10053, "WSAECONNABORTED", "An established connection was aborted by the software in your host machine"},
    {10054, "WSAECONNRESET", "An existing connection was forcibly closed by the remote host"},
    {10055, "WSAENOBUFS", "An operation on a socket could not be performed because the system lacked sufficient buffer space or because a queue was full"},
    {10056, "WSAEISCONN", "A connect request was made on an already connected socket"},
    {10057, "WSAENOTCONN", "A request to send or receive data was disallowed because the socket is not connected"},
    {10058, "WSAESHUTDOWN", "A request to send or receive data was disallowed because the socket had already been shut down in that direction"},
    {10059, "WSAETOOMANYREFS", "Too many references to some kernel object"},
    {10060, "WSAETIMEDOUT", "A connection attempt failed because the connected party did not properly respond after a period of time, or the established connection failed because the connected host has failed to respond"},
    {10061, "WSAECONNREFUSED", "No connection could be made because the target machine actively refused it"},
    {10062, "WSAELOOP", "Cannot translate name"},
    {10063, "WSAENAMETOOLONG", "Name component or name was too long"},
    {10064, "WSAEHOSTDOWN", "A socket operation failed because the destination host was down"},
    {10065, "WSAEHOSTUNREACH", "A socket operation was attempted to an unreachable host"},
    {10066, "WSAENOTEMPTY", "Cannot remove a directory that is not empty"},
    {10067, "WSAEPROCLIM", "Too many applications are using the sockets implementation at once"},
    {10068, "WSAEUSERS", "Ran out of quota"},
    {10069, "WSAEDQUOT", "Ran out of disk quota"},
    {10070, "WSAESTALE", "File handle reference is no longer available"},
    {10071, "WSAEREMOTE", "Item is not available locally"},
    {10091, "WSASYSNOTREADY", "The network subsystem is unavailable"},
    {10092, "WSAVERNOTSUPPORTED", "The sockets implementation does not support the requested version"},
    {10093, "WSANOTINITIALISED", "The sockets implementation has not been started"},
    {10101, "WSAEDISCON", "The remote side is gracefully shutting down the connection"},
    {10102, "WSAENOMORE", "No more results can be returned by the lookup"},
    {10103, "WSAECANCELLED", "A call to the lookup was cancelled while it was still processing"},
    {10104, "WSAEINVALIDPROCTABLE", "The procedure call table is invalid"},
    {10105, "WSAEINVALIDPROVIDER", "The requested service provider is invalid"},
    {10106, "WSAEPROVIDERFAILEDINIT", "The requested service provider could not be loaded or initialised"},
    {10107, "WSASYSCALLFAILURE", "A system call that should never fail has failed"},
    {10108, "WSASERVICE_NOT_FOUND", "No such service is known"},
    {10109, "WSATYPE_NOT_FOUND", "The specified class was not found"},
    {10110, "WSA_E_NO_MORE", "No more results can be returned by the lookup"},
    {10111, "WSA_E_CANCELLED", "A call to the lookup was cancelled while it was still processing"},
    {10112, "WSAEREFUSED", "A database query failed because it was actively refused"},
    {11001, "WSAHOST_NOT_FOUND", "No such host is known"},
    {11002, "WSATRY_AGAIN", "This is usually a temporary error during host name resolution and means that the local server did not receive a response from an authoritative server"},
    {11003, "WSANO_RECOVERY", "A non-recoverable error occurred during a database lookup"},
    {11004, "WSANO_DATA", "The requested name is valid, but no data of the requested type was found"},
    {11005, "WSA_QOS_RECEIVERS", "At least one reserve has arrived"},
    {11006, "WSA_QOS_SENDERS", "At least one path has arrived"},
    {11007, "WSA_QOS_NO_SENDERS", "There are no senders"},
    {11008, "WSA_QOS_NO_RECEIVERS", "There are no receivers"},
    {11009, "WSA_QOS_REQUEST_CONFIRMED", "The reserve has been confirmed"},
    {11010, "WSA_QOS_ADMISSION_FAILURE", "Error due to lack of resources"},
    {11011, "WSA_QOS_POLICY_FAILURE", "Rejected for administrative reasons: bad credentials"},
    {11012, "WSA_QOS_BAD_STYLE", "Unknown or conflicting style"},
    {11013, "WSA_QOS_BAD_OBJECT", "There is a problem with the filter description or provider-specific buffer"},
    {11014, "WSA_QOS_TRAFFIC_CTRL_ERROR", "There is a problem with the flow description"},
    {11015, "WSA_QOS_GENERIC_ERROR", "General QOS error"},
};

constexpr bool StatusTableIsSorted()
{
    for (size_t i = 1; i < std::size(kStatusNames); ++i) {
        if (static_cast<uint32_t>(kStatusNames[i - 1].hr) >= static_cast<uint32_t>(kStatusNames[i].hr))
            return false;
    }
    return true;
}
constexpr bool WinsockTableIsSorted()
{
    for (size_t i = 1; i < std::size(kWinsockErrors); ++i) {
        if (kWinsockErrors[i - 1].dwCode >= kWinsockErrors[i].dwCode)
            return false;
    }
    return true;
}
// A code out of order (or entered twice) would be silently unreachable by
// the binary search, so the build refuses it.
static_assert(StatusTableIsSorted(), "kStatusNames must be sorted by unsigned value, without duplicates");
static_assert(WinsockTableIsSorted(), "kWinsockErrors must be sorted by code, without duplicates");

constexpr uint32_t kWinsockFirst = 0x80072710u;  // 10000
constexpr uint32_t kWinsockLast = 0x80072EDFu;   // 11999
constexpr uint32_t kRasterFirst = 0x8005F000u;
constexpr uint32_t kRasterLast = 0x8005FFFFu;

constexpr bool HasName(uint32_t u)
{
    if (u >= kWinsockFirst && u <= kWinsockLast) {
        for (const WinsockErrorEntry& e : kWinsockErrors) {
            if (e.dwCode == (u & 0xFFFF))
                return true;
        }
        return false;
    }
    for (const StatusNameEntry& e : kStatusNames) {
        if (static_cast<uint32_t>(e.hr) == u)
            return true;
    }
    return false;
}

// The codes the components return; a trace line that printed one of them as
// a bare number would have to be decoded by hand, so the build refuses it.
constexpr uint32_t kCodesReturned[] = {
    0x00000001, 0x00040237, 0x00040268, 0x00050024, 0x00050048, 0x80004001, 0x80004002, 0x80004003, 0x80004004,
    0x80004005, 0x8000FFFF, 0x8001011F, 0x80040227, 0x8005001B, 0x8005001D, 0x80050021, 0x80050022, 0x80050023,
    0x80050025, 0x80050026, 0x80050027, 0x8007000E, 0x8007001D, 0x8007001E, 0x80070026, 0x80070057, 0x8007274C,
    0x80050013, 0x8005004A, 0x80050050, 0x80050061, 0xFEDCBA97, 0xFEDCBA98, 0x800401E3,
    // Components, registration, type libraries and late binding.
    0x00040103, 0x80020001, 0x80020003, 0x80020004, 0x80020005, 0x80020006, 0x80020008, 0x8002000A, 0x8002000E,
    0x8002000F, 0x80028019, 0x8002801C, 0x8002801D, 0x8002802B, 0x80029C4A, 0x80040110, 0x80040111, 0x80040153,
    0x80040154, 0x800401F8, 0x800401F9, 0x8007007F, 0x800700C1, 0x800703F1, 0x80070582, 0x80070583, 0x80070584,
    0x80070715,
};
constexpr bool EveryReturnedCodeHasAName()
{
    for (uint32_t u : kCodesReturned) {
        if (!HasName(u))
            return false;
    }
    return true;
}
static_assert(EveryReturnedCodeHasAName(), "a code the components return has no entry in the status-name table");

}  // namespace

const StatusNameEntry* FindStatusName(HRESULT hr)
{
    const uint32_t u = static_cast<uint32_t>(hr);
    const StatusNameEntry* p = std::lower_bound(
        std::begin(kStatusNames), std::end(kStatusNames), u,
        [](const StatusNameEntry& e, uint32_t v) { return static_cast<uint32_t>(e.hr) < v; });
    if (p == std::end(kStatusNames) || static_cast<uint32_t>(p->hr) != u)
        return nullptr;
    return p;
}

const WinsockErrorEntry* FindWinsockError(DWORD dwCode)
{
    const WinsockErrorEntry* p = std::lower_bound(
        std::begin(kWinsockErrors), std::end(kWinsockErrors), dwCode,
        [](const WinsockErrorEntry& e, DWORD v) { return e.dwCode < v; });
    if (p == std::end(kWinsockErrors) || p->dwCode != dwCode)
        return nullptr;
    return p;
}

void FormatStatusName(HRESULT hr, char* psz, size_t cch)
{
    if (psz == nullptr || cch == 0)
        return;
    const uint32_t u = static_cast<uint32_t>(hr);

    // Socket errors first: the same HRESULTs appear in the common table's
    // range, but a socket error reads best in the sockets' own words.
    if (u >= kWinsockFirst && u <= kWinsockLast) {
        const DWORD dwCode = HRESULT_CODE(hr);
        if (const WinsockErrorEntry* p = FindWinsockError(dwCode))
            snprintf(psz, cch, "%s = %s", p->pszName, p->pszText);
        else
            snprintf(psz, cch, "Unknown Winsock error (%u=0x%08X)", static_cast<unsigned>(dwCode), u);
        return;
    }
    if (const StatusNameEntry* p = FindStatusName(hr)) {
        if (p->pszText != nullptr)
            snprintf(psz, cch, "%s - %s", p->pszName, p->pszText);
        else
            snprintf(psz, cch, "%s", p->pszName);
        return;
    }
    if (u >= kRasterFirst && u <= kRasterLast) {
        // The raster engine reports its own error numbers as offsets below
        // the base; the difference is what its documentation lists.
        const long long llRaster = static_cast<long long>(static_cast<HRESULT>(kRasterFirst)) - hr;
        snprintf(psz, cch, "Raster engine error (%lld)", llRaster);
        return;
    }
    snprintf(psz, cch, "0x%08X", u);
}
