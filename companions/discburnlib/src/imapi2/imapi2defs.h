// The part of IMAPI2 (Windows' disc burning API, imapi2.dll) that disc export
// and its test double use. mingw-w64 ships no imapi2.h, so the interfaces are
// declared here from Microsoft's published interface definitions: every
// method in its vtable slot, in the published order, with the published
// interface and class ids. A method out of place calls the wrong slot on
// Windows (a crash, or worse a wrong write), so nothing here may be reordered
// or left out, even the methods no caller uses.
#pragma once

#include <objbase.h>
#include <oaidl.h>
#include <ocidl.h>

// Physical media (IMAPI_MEDIA_PHYSICAL_TYPE).
enum IMAPI_MEDIA_PHYSICAL_TYPE : int {
    IMAPI_MEDIA_TYPE_UNKNOWN = 0x00,
    IMAPI_MEDIA_TYPE_CDROM = 0x01,
    IMAPI_MEDIA_TYPE_CDR = 0x02,
    IMAPI_MEDIA_TYPE_CDRW = 0x03,
    IMAPI_MEDIA_TYPE_DVDROM = 0x04,
    IMAPI_MEDIA_TYPE_DVDRAM = 0x05,
    IMAPI_MEDIA_TYPE_DVDPLUSR = 0x06,
    IMAPI_MEDIA_TYPE_DVDPLUSRW = 0x07,
    IMAPI_MEDIA_TYPE_DVDPLUSR_DUALLAYER = 0x08,
    IMAPI_MEDIA_TYPE_DVDDASHR = 0x09,
    IMAPI_MEDIA_TYPE_DVDDASHRW = 0x0A,
    IMAPI_MEDIA_TYPE_DVDDASHR_DUALLAYER = 0x0B,
    IMAPI_MEDIA_TYPE_DISK = 0x0C,
    IMAPI_MEDIA_TYPE_DVDPLUSRW_DUALLAYER = 0x0D,
    IMAPI_MEDIA_TYPE_HDDVDROM = 0x0E,
    IMAPI_MEDIA_TYPE_HDDVDR = 0x0F,
    IMAPI_MEDIA_TYPE_HDDVDRAM = 0x10,
    IMAPI_MEDIA_TYPE_BDROM = 0x11,
    IMAPI_MEDIA_TYPE_BDR = 0x12,
    IMAPI_MEDIA_TYPE_BDRE = 0x13,
    IMAPI_MEDIA_TYPE_MAX = 0x13,
};

// Write protection (IMAPI_MEDIA_WRITE_PROTECT_STATE), bits.
enum IMAPI_MEDIA_WRITE_PROTECT_STATE : int {
    IMAPI_WRITEPROTECTED_UNTIL_POWERDOWN = 0x0001,
    IMAPI_WRITEPROTECTED_BY_CARTRIDGE = 0x0002,
    IMAPI_WRITEPROTECTED_BY_MEDIA_SPECIFIC_REASON = 0x0004,
    IMAPI_WRITEPROTECTED_BY_SOFTWARE_WRITE_PROTECT = 0x0008,
    IMAPI_WRITEPROTECTED_BY_DISC_CONTROL_BLOCK = 0x0010,
    IMAPI_WRITEPROTECTED_READ_ONLY_MEDIA = 0x4000,
};

// What a data write is doing when it reports (IMAPI_FORMAT2_DATA_WRITE_ACTION).
enum IMAPI_FORMAT2_DATA_WRITE_ACTION : int {
    IMAPI_FORMAT2_DATA_WRITE_ACTION_VALIDATING_MEDIA = 0,
    IMAPI_FORMAT2_DATA_WRITE_ACTION_FORMATTING_MEDIA = 1,
    IMAPI_FORMAT2_DATA_WRITE_ACTION_INITIALIZING_HARDWARE = 2,
    IMAPI_FORMAT2_DATA_WRITE_ACTION_CALIBRATING_POWER = 3,
    IMAPI_FORMAT2_DATA_WRITE_ACTION_WRITING_DATA = 4,
    IMAPI_FORMAT2_DATA_WRITE_ACTION_FINALIZATION = 5,
    IMAPI_FORMAT2_DATA_WRITE_ACTION_COMPLETED = 6,
    IMAPI_FORMAT2_DATA_WRITE_ACTION_VERIFYING = 7,
};

// The medium's state for a data write (IMAPI_FORMAT2_DATA_MEDIA_STATE), bits.
enum IMAPI_FORMAT2_DATA_MEDIA_STATE : int {
    IMAPI_FORMAT2_DATA_MEDIA_STATE_UNKNOWN = 0x0000,
    IMAPI_FORMAT2_DATA_MEDIA_STATE_INFORMATIONAL_MASK = 0x000F,
    IMAPI_FORMAT2_DATA_MEDIA_STATE_UNSUPPORTED_MASK = 0xFC00,
    IMAPI_FORMAT2_DATA_MEDIA_STATE_OVERWRITE_ONLY = 0x0001,
    IMAPI_FORMAT2_DATA_MEDIA_STATE_RANDOMLY_WRITABLE = 0x0001,
    IMAPI_FORMAT2_DATA_MEDIA_STATE_BLANK = 0x0002,
    IMAPI_FORMAT2_DATA_MEDIA_STATE_APPENDABLE = 0x0004,
    IMAPI_FORMAT2_DATA_MEDIA_STATE_FINAL_SESSION = 0x0008,
    IMAPI_FORMAT2_DATA_MEDIA_STATE_DAMAGED = 0x0400,
    IMAPI_FORMAT2_DATA_MEDIA_STATE_ERASE_REQUIRED = 0x0800,
    IMAPI_FORMAT2_DATA_MEDIA_STATE_NON_EMPTY_SESSION = 0x1000,
    IMAPI_FORMAT2_DATA_MEDIA_STATE_WRITE_PROTECTED = 0x2000,
    IMAPI_FORMAT2_DATA_MEDIA_STATE_FINALIZED = 0x4000,
    IMAPI_FORMAT2_DATA_MEDIA_STATE_UNSUPPORTED_MEDIA = 0x8000,
};

// How a data write checks the disc afterwards (IMAPI_BURN_VERIFICATION_LEVEL).
enum IMAPI_BURN_VERIFICATION_LEVEL : int {
    IMAPI_BURN_VERIFICATION_NONE = 0,
    IMAPI_BURN_VERIFICATION_QUICK = 1,
    IMAPI_BURN_VERIFICATION_FULL = 2,
};

// IMAPI2's own results (facility 0xAA).
constexpr HRESULT E_IMAPI_REQUEST_CANCELLED = static_cast<HRESULT>(0xC0AA0002);
constexpr HRESULT E_IMAPI_RECORDER_REQUIRED = static_cast<HRESULT>(0xC0AA0003);
constexpr HRESULT E_IMAPI_BURN_VERIFICATION_FAILED = static_cast<HRESULT>(0xC0AA0007);
constexpr HRESULT E_IMAPI_RECORDER_MEDIA_NO_MEDIA = static_cast<HRESULT>(0xC0AA0202);
constexpr HRESULT E_IMAPI_RECORDER_MEDIA_INCOMPATIBLE = static_cast<HRESULT>(0xC0AA0203);
constexpr HRESULT E_IMAPI_RECORDER_MEDIA_UPSIDE_DOWN = static_cast<HRESULT>(0xC0AA0204);
constexpr HRESULT E_IMAPI_RECORDER_MEDIA_BECOMING_READY = static_cast<HRESULT>(0xC0AA0205);
constexpr HRESULT E_IMAPI_RECORDER_MEDIA_FORMAT_IN_PROGRESS = static_cast<HRESULT>(0xC0AA0206);
constexpr HRESULT E_IMAPI_RECORDER_MEDIA_BUSY = static_cast<HRESULT>(0xC0AA0207);
constexpr HRESULT E_IMAPI_RECORDER_MEDIA_WRITE_PROTECTED = static_cast<HRESULT>(0xC0AA0209);
constexpr HRESULT E_IMAPI_RECORDER_COMMAND_TIMEOUT = static_cast<HRESULT>(0xC0AA020D);
constexpr HRESULT E_IMAPI_RECORDER_LOCKED = static_cast<HRESULT>(0xC0AA0210);
constexpr HRESULT E_IMAPI_LOSS_OF_STREAMING = static_cast<HRESULT>(0xC0AA0300);
constexpr HRESULT E_IMAPI_UNEXPECTED_RESPONSE_FROM_DEVICE = static_cast<HRESULT>(0xC0AA0301);
constexpr HRESULT S_IMAPI_WRITE_NOT_IN_PROGRESS = static_cast<HRESULT>(0x00AA0302);
constexpr HRESULT E_IMAPI_DF2DATA_WRITE_IN_PROGRESS = static_cast<HRESULT>(0xC0AA0400);
constexpr HRESULT E_IMAPI_DF2DATA_WRITE_NOT_IN_PROGRESS = static_cast<HRESULT>(0xC0AA0401);
constexpr HRESULT E_IMAPI_DF2DATA_INVALID_MEDIA_STATE = static_cast<HRESULT>(0xC0AA0402);
constexpr HRESULT E_IMAPI_DF2DATA_STREAM_NOT_SUPPORTED = static_cast<HRESULT>(0xC0AA0403);
constexpr HRESULT E_IMAPI_DF2DATA_STREAM_TOO_LARGE_FOR_CURRENT_MEDIA =
    static_cast<HRESULT>(0xC0AA0404);
constexpr HRESULT E_IMAPI_DF2DATA_MEDIA_NOT_BLANK = static_cast<HRESULT>(0xC0AA0405);
constexpr HRESULT E_IMAPI_DF2DATA_MEDIA_IS_NOT_SUPPORTED = static_cast<HRESULT>(0xC0AA0406);
constexpr HRESULT E_IMAPI_DF2DATA_RECORDER_NOT_SUPPORTED = static_cast<HRESULT>(0xC0AA0407);
constexpr HRESULT E_IMAPI_DF2DATA_CLIENT_NAME_IS_NOT_VALID = static_cast<HRESULT>(0xC0AA0408);
constexpr HRESULT E_IMAPI_ERASE_RECORDER_IN_USE = static_cast<HRESULT>(0x80AA0900);
constexpr HRESULT E_IMAPI_ERASE_MEDIA_IS_NOT_ERASABLE = static_cast<HRESULT>(0x80AA0904);
constexpr HRESULT E_IMAPI_ERASE_DRIVE_FAILED_ERASE_COMMAND = static_cast<HRESULT>(0x80AA0905);
constexpr HRESULT E_IMAPI_ERASE_MEDIA_IS_NOT_SUPPORTED = static_cast<HRESULT>(0xC0AA0909);
constexpr HRESULT E_IMAPI_ERASE_RECORDER_NOT_SUPPORTED = static_cast<HRESULT>(0xC0AA090A);
constexpr HRESULT E_IMAPI_ERASE_CLIENT_NAME_IS_NOT_VALID = static_cast<HRESULT>(0xC0AA090B);

// The dispatch id of Update on both event interfaces.
constexpr DISPID DISPID_DDISCFORMAT2DATAEVENTS_UPDATE = 0x200;
constexpr DISPID DISPID_IDISCFORMAT2ERASEEVENTS_UPDATE = 0x200;

// Class ids.
class MsftDiscMaster2;
class MsftDiscRecorder2;
class MsftDiscFormat2Data;
class MsftDiscFormat2Erase;
__CRT_UUID_DECL(MsftDiscMaster2, 0x2735412E, 0x7F64, 0x5B0F, 0x8F, 0x00, 0x5D, 0x77, 0xAF, 0xBE,
                0x26, 0x1E)
__CRT_UUID_DECL(MsftDiscRecorder2, 0x2735412D, 0x7F64, 0x5B0F, 0x8F, 0x00, 0x5D, 0x77, 0xAF, 0xBE,
                0x26, 0x1E)
__CRT_UUID_DECL(MsftDiscFormat2Data, 0x2735412A, 0x7F64, 0x5B0F, 0x8F, 0x00, 0x5D, 0x77, 0xAF, 0xBE,
                0x26, 0x1E)
__CRT_UUID_DECL(MsftDiscFormat2Erase, 0x2735412B, 0x7F64, 0x5B0F, 0x8F, 0x00, 0x5D, 0x77, 0xAF,
                0xBE, 0x26, 0x1E)

// The recorders of this machine: unique ids to initialise an
// IDiscRecorder2 with.
struct IDiscMaster2 : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get__NewEnum(IEnumVARIANT** ppunk) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Item(LONG index, BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Count(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsSupportedEnvironment(VARIANT_BOOL* value) = 0;
};
__CRT_UUID_DECL(IDiscMaster2, 0x27354130, 0x7F64, 0x5B0F, 0x8F, 0x00, 0x5D, 0x77, 0xAF, 0xBE, 0x26,
                0x1E)

// One recorder.
struct IDiscRecorder2 : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE EjectMedia() = 0;
    virtual HRESULT STDMETHODCALLTYPE CloseTray() = 0;
    virtual HRESULT STDMETHODCALLTYPE AcquireExclusiveAccess(VARIANT_BOOL force,
                                                             BSTR clientName) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReleaseExclusiveAccess() = 0;
    virtual HRESULT STDMETHODCALLTYPE DisableMcn() = 0;
    virtual HRESULT STDMETHODCALLTYPE EnableMcn() = 0;
    virtual HRESULT STDMETHODCALLTYPE InitializeDiscRecorder(BSTR recorderUniqueId) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ActiveDiscRecorder(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_VendorId(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ProductId(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ProductRevision(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_VolumeName(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_VolumePathNames(SAFEARRAY** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DeviceCanLoadMedia(VARIANT_BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LegacyDeviceNumber(LONG* legacyDeviceNumber) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SupportedFeaturePages(SAFEARRAY** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentFeaturePages(SAFEARRAY** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SupportedProfiles(SAFEARRAY** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentProfiles(SAFEARRAY** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SupportedModePages(SAFEARRAY** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ExclusiveAccessOwner(BSTR* value) = 0;
};
__CRT_UUID_DECL(IDiscRecorder2, 0x27354133, 0x7F64, 0x5B0F, 0x8F, 0x00, 0x5D, 0x77, 0xAF, 0xBE,
                0x26, 0x1E)

// What every format (data, erase...) shares.
struct IDiscFormat2 : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE IsRecorderSupported(IDiscRecorder2* recorder,
                                                          VARIANT_BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsCurrentMediaSupported(IDiscRecorder2* recorder,
                                                              VARIANT_BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MediaPhysicallyBlank(VARIANT_BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MediaHeuristicallyBlank(VARIANT_BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SupportedMediaTypes(SAFEARRAY** value) = 0;
};
__CRT_UUID_DECL(IDiscFormat2, 0x27354152, 0x8F64, 0x5B0F, 0x8F, 0x00, 0x5D, 0x77, 0xAF, 0xBE, 0x26,
                0x1E)

// Blanks a rewritable medium.
struct IDiscFormat2Erase : public IDiscFormat2 {
    virtual HRESULT STDMETHODCALLTYPE put_Recorder(IDiscRecorder2* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Recorder(IDiscRecorder2** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_FullErase(VARIANT_BOOL value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_FullErase(VARIANT_BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    get_CurrentPhysicalMediaType(IMAPI_MEDIA_PHYSICAL_TYPE* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ClientName(BSTR value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ClientName(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE EraseMedia() = 0;
};
__CRT_UUID_DECL(IDiscFormat2Erase, 0x27354156, 0x8F64, 0x5B0F, 0x8F, 0x00, 0x5D, 0x77, 0xAF, 0xBE,
                0x26, 0x1E)

// Writes a data stream (an image of 2048-byte sectors) onto the medium.
struct IDiscFormat2Data : public IDiscFormat2 {
    virtual HRESULT STDMETHODCALLTYPE put_Recorder(IDiscRecorder2* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Recorder(IDiscRecorder2** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_BufferUnderrunFreeDisabled(VARIANT_BOOL value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_BufferUnderrunFreeDisabled(VARIANT_BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_PostgapAlreadyInImage(VARIANT_BOOL value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_PostgapAlreadyInImage(VARIANT_BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    get_CurrentMediaStatus(IMAPI_FORMAT2_DATA_MEDIA_STATE* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    get_WriteProtectStatus(IMAPI_MEDIA_WRITE_PROTECT_STATE* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_TotalSectorsOnMedia(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_FreeSectorsOnMedia(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NextWritableAddress(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_StartAddressOfPreviousSession(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LastWrittenAddressOfPreviousSession(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ForceMediaToBeClosed(VARIANT_BOOL value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ForceMediaToBeClosed(VARIANT_BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    put_DisableConsumerDvdCompatibilityMode(VARIANT_BOOL value) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    get_DisableConsumerDvdCompatibilityMode(VARIANT_BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    get_CurrentPhysicalMediaType(IMAPI_MEDIA_PHYSICAL_TYPE* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ClientName(BSTR value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ClientName(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RequestedWriteSpeed(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RequestedRotationTypeIsPureCAV(VARIANT_BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentWriteSpeed(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentRotationTypeIsPureCAV(VARIANT_BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SupportedWriteSpeeds(SAFEARRAY** supportedSpeeds) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    get_SupportedWriteSpeedDescriptors(SAFEARRAY** supportedSpeedDescriptors) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ForceOverwrite(VARIANT_BOOL value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ForceOverwrite(VARIANT_BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MultisessionInterfaces(SAFEARRAY** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE Write(IStream* data) = 0;
    virtual HRESULT STDMETHODCALLTYPE CancelWrite() = 0;
    virtual HRESULT STDMETHODCALLTYPE SetWriteSpeed(LONG requestedSectorsPerSecond,
                                                    VARIANT_BOOL rotationTypeIsPureCAV) = 0;
};
__CRT_UUID_DECL(IDiscFormat2Data, 0x27354153, 0x9F64, 0x5B0F, 0x8F, 0x00, 0x5D, 0x77, 0xAF, 0xBE,
                0x26, 0x1E)

// The progress of a write, as the write engine sees it (sector addresses).
struct IWriteEngine2EventArgs : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_StartLba(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SectorCount(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LastReadLba(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LastWrittenLba(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_TotalSystemBuffer(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_UsedSystemBuffer(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_FreeSystemBuffer(LONG* value) = 0;
};
__CRT_UUID_DECL(IWriteEngine2EventArgs, 0x27354136, 0x7F64, 0x5B0F, 0x8F, 0x00, 0x5D, 0x77, 0xAF,
                0xBE, 0x26, 0x1E)

// The progress of a data write: the engine's view plus times and the phase.
struct IDiscFormat2DataEventArgs : public IWriteEngine2EventArgs {
    virtual HRESULT STDMETHODCALLTYPE get_ElapsedTime(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RemainingTime(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_TotalTime(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentAction(IMAPI_FORMAT2_DATA_WRITE_ACTION* value) = 0;
};
__CRT_UUID_DECL(IDiscFormat2DataEventArgs, 0x2735413D, 0x7F64, 0x5B0F, 0x8F, 0x00, 0x5D, 0x77, 0xAF,
                0xBE, 0x26, 0x1E)

// The event interfaces a format's connection point calls. IMAPI2 raises them
// through IDispatch::Invoke (DISPID 0x200), so a sink must answer Invoke; the
// vtable method is declared for completeness.
struct DDiscFormat2DataEvents : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE Update(IDispatch* object, IDispatch* progress) = 0;
};
__CRT_UUID_DECL(DDiscFormat2DataEvents, 0x2735413C, 0x7F64, 0x5B0F, 0x8F, 0x00, 0x5D, 0x77, 0xAF,
                0xBE, 0x26, 0x1E)

struct DDiscFormat2EraseEvents : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE Update(IDispatch* object, LONG elapsedSeconds,
                                             LONG estimatedTotalSeconds) = 0;
};
__CRT_UUID_DECL(DDiscFormat2EraseEvents, 0x2735413A, 0x7F64, 0x5B0F, 0x8F, 0x00, 0x5D, 0x77, 0xAF,
                0xBE, 0x26, 0x1E)

// How a data write verifies what it wrote; queried from the data format.
struct IBurnVerification : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE
    put_BurnVerificationLevel(IMAPI_BURN_VERIFICATION_LEVEL value) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    get_BurnVerificationLevel(IMAPI_BURN_VERIFICATION_LEVEL* value) = 0;
};
__CRT_UUID_DECL(IBurnVerification, 0xD2FFD834, 0x958B, 0x426D, 0x84, 0x70, 0x2A, 0x13, 0x87, 0x9C,
                0x6A, 0x91)
