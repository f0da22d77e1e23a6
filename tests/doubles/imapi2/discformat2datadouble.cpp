#include "discformat2datadouble.h"

#include "dataeventargsdouble.h"
#include "discmaster2double.h"
#include "discrecorder2double.h"
#include "scenario.h"

#include <algorithm>
#include <vector>

namespace {

constexpr ULONG kSector = 2048;

template <typename T>
HRESULT Give(T* out, T value) {
    if (!out)
        return E_POINTER;
    *out = value;
    return S_OK;
}

HRESULT NoArray(SAFEARRAY** value) {
    if (!value)
        return E_POINTER;
    *value = nullptr;
    return E_NOTIMPL;
}

// Reads exactly size bytes unless the stream ends or fails.
HRESULT ReadAll(IStream* data, char* buffer, ULONG size, ULONG& got) {
    got = 0;
    while (got < size) {
        ULONG read = 0;
        const HRESULT hr = data->Read(buffer + got, size - got, &read);
        if (FAILED(hr))
            return hr;
        if (read == 0)
            break;
        got += read;
    }
    return S_OK;
}

}  // namespace

DiscFormat2DataDouble::DiscFormat2DataDouble()
    : m_sinks(std::make_shared<EventPoint::Sinks>(__uuidof(DDiscFormat2DataEvents))) {}

HRESULT DiscFormat2DataDouble::QueryInterface(REFIID iid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == __uuidof(IDiscFormat2) ||
        iid == __uuidof(IDiscFormat2Data))
        *object = static_cast<IDiscFormat2Data*>(this);
    else if (iid == __uuidof(IBurnVerification))
        *object = static_cast<IBurnVerification*>(this);
    else if (iid == IID_IConnectionPointContainer)
        *object = static_cast<IConnectionPointContainer*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

HRESULT DiscFormat2DataDouble::Ready() const {
    if (!m_letter)
        return E_IMAPI_RECORDER_REQUIRED;
    if (DiscRecorder2Double::HeldByOther())
        return E_IMAPI_RECORDER_LOCKED;
    if (Scenario::Medium() == L"none")
        return E_IMAPI_RECORDER_MEDIA_NO_MEDIA;
    return S_OK;
}

HRESULT DiscFormat2DataDouble::IsRecorderSupported(IDiscRecorder2* recorder, VARIANT_BOOL* value) {
    if (!recorder)
        return E_POINTER;
    return Give(value, static_cast<VARIANT_BOOL>(VARIANT_TRUE));
}

HRESULT DiscFormat2DataDouble::IsCurrentMediaSupported(IDiscRecorder2* recorder,
                                                       VARIANT_BOOL* value) {
    if (!recorder)
        return E_POINTER;
    const int type = Scenario::MediaType();
    const bool ok =
        Scenario::Medium() != L"none" && (Scenario::WriteOnce(type) || Scenario::Rewritable(type));
    return Give(value, static_cast<VARIANT_BOOL>(ok ? VARIANT_TRUE : VARIANT_FALSE));
}

HRESULT DiscFormat2DataDouble::get_MediaPhysicallyBlank(VARIANT_BOOL* value) {
    if (const HRESULT hr = Ready(); FAILED(hr))
        return hr;
    return Give(value, static_cast<VARIANT_BOOL>(Scenario::Medium() == L"blank" ? VARIANT_TRUE
                                                                                : VARIANT_FALSE));
}

HRESULT DiscFormat2DataDouble::get_MediaHeuristicallyBlank(VARIANT_BOOL* value) {
    return get_MediaPhysicallyBlank(value);
}

HRESULT DiscFormat2DataDouble::get_SupportedMediaTypes(SAFEARRAY** value) {
    if (!value)
        return E_POINTER;
    const int types[] = {IMAPI_MEDIA_TYPE_CDR,      IMAPI_MEDIA_TYPE_CDRW,
                         IMAPI_MEDIA_TYPE_DVDPLUSR, IMAPI_MEDIA_TYPE_DVDPLUSRW,
                         IMAPI_MEDIA_TYPE_DVDDASHR, IMAPI_MEDIA_TYPE_DVDDASHRW,
                         IMAPI_MEDIA_TYPE_BDR,      IMAPI_MEDIA_TYPE_BDRE};
    *value = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(std::size(types)));
    if (!*value)
        return E_OUTOFMEMORY;
    for (LONG i = 0; i < static_cast<LONG>(std::size(types)); ++i) {
        VARIANT item;
        VariantInit(&item);
        item.vt = VT_I4;
        item.lVal = types[i];
        SafeArrayPutElement(*value, &i, &item);
    }
    return S_OK;
}

HRESULT DiscFormat2DataDouble::put_Recorder(IDiscRecorder2* value) {
    if (!value)
        return E_POINTER;
    const wchar_t letter = DiscMaster2Double::LetterOf(value);
    if (!letter)
        return E_IMAPI_RECORDER_REQUIRED;
    m_recorder = value;
    m_letter = letter;
    return S_OK;
}

HRESULT DiscFormat2DataDouble::get_Recorder(IDiscRecorder2** value) {
    if (!value)
        return E_POINTER;
    *value = m_recorder.Get();
    if (*value)
        (*value)->AddRef();
    return S_OK;
}

HRESULT DiscFormat2DataDouble::get_BufferUnderrunFreeDisabled(VARIANT_BOOL* value) {
    return Give(value, static_cast<VARIANT_BOOL>(VARIANT_FALSE));
}

HRESULT DiscFormat2DataDouble::get_PostgapAlreadyInImage(VARIANT_BOOL* value) {
    return Give(value, static_cast<VARIANT_BOOL>(VARIANT_FALSE));
}

HRESULT DiscFormat2DataDouble::get_CurrentMediaStatus(IMAPI_FORMAT2_DATA_MEDIA_STATE* value) {
    if (const HRESULT hr = Ready(); FAILED(hr))
        return hr;
    const std::wstring medium = Scenario::Medium();
    int state = IMAPI_FORMAT2_DATA_MEDIA_STATE_UNKNOWN;
    if (medium == L"blank")
        state = IMAPI_FORMAT2_DATA_MEDIA_STATE_BLANK | IMAPI_FORMAT2_DATA_MEDIA_STATE_APPENDABLE;
    else if (medium == L"appendable")
        state = IMAPI_FORMAT2_DATA_MEDIA_STATE_APPENDABLE |
                IMAPI_FORMAT2_DATA_MEDIA_STATE_NON_EMPTY_SESSION;
    else if (medium == L"closed")
        state = IMAPI_FORMAT2_DATA_MEDIA_STATE_FINALIZED |
                IMAPI_FORMAT2_DATA_MEDIA_STATE_NON_EMPTY_SESSION;
    else if (medium == L"overwrite")
        state = IMAPI_FORMAT2_DATA_MEDIA_STATE_OVERWRITE_ONLY;
    return Give(value, static_cast<IMAPI_FORMAT2_DATA_MEDIA_STATE>(state));
}

HRESULT DiscFormat2DataDouble::get_WriteProtectStatus(IMAPI_MEDIA_WRITE_PROTECT_STATE* value) {
    if (const HRESULT hr = Ready(); FAILED(hr))
        return hr;
    return Give(value, static_cast<IMAPI_MEDIA_WRITE_PROTECT_STATE>(0));
}

HRESULT DiscFormat2DataDouble::get_TotalSectorsOnMedia(LONG* value) {
    if (const HRESULT hr = Ready(); FAILED(hr))
        return hr;
    return Give(value, static_cast<LONG>(Scenario::Number(L"TotalSectors", 359846)));
}

HRESULT DiscFormat2DataDouble::get_FreeSectorsOnMedia(LONG* value) {
    if (const HRESULT hr = Ready(); FAILED(hr))
        return hr;
    const std::wstring medium = Scenario::Medium();
    const LONG free = medium == L"closed"
                          ? 0
                          : static_cast<LONG>(Scenario::Number(
                                L"FreeSectors", Scenario::Number(L"TotalSectors", 359846)));
    return Give(value, free);
}

HRESULT DiscFormat2DataDouble::get_NextWritableAddress(LONG* value) {
    if (const HRESULT hr = Ready(); FAILED(hr))
        return hr;
    LONG total = 0, free = 0;
    get_TotalSectorsOnMedia(&total);
    get_FreeSectorsOnMedia(&free);
    return Give(value, total - free);
}

HRESULT DiscFormat2DataDouble::get_StartAddressOfPreviousSession(LONG* value) {
    return Give(value, -1L);
}

HRESULT DiscFormat2DataDouble::get_LastWrittenAddressOfPreviousSession(LONG* value) {
    return Give(value, -1L);
}

HRESULT DiscFormat2DataDouble::put_ForceMediaToBeClosed(VARIANT_BOOL value) {
    m_forceClose = value != VARIANT_FALSE;
    return S_OK;
}

HRESULT DiscFormat2DataDouble::get_ForceMediaToBeClosed(VARIANT_BOOL* value) {
    return Give(value, static_cast<VARIANT_BOOL>(m_forceClose ? VARIANT_TRUE : VARIANT_FALSE));
}

HRESULT DiscFormat2DataDouble::get_DisableConsumerDvdCompatibilityMode(VARIANT_BOOL* value) {
    return Give(value, static_cast<VARIANT_BOOL>(VARIANT_FALSE));
}

HRESULT DiscFormat2DataDouble::get_CurrentPhysicalMediaType(IMAPI_MEDIA_PHYSICAL_TYPE* value) {
    if (const HRESULT hr = Ready(); FAILED(hr))
        return hr;
    return Give(value, static_cast<IMAPI_MEDIA_PHYSICAL_TYPE>(Scenario::MediaType()));
}

HRESULT DiscFormat2DataDouble::put_ClientName(BSTR value) {
    if (!value || !SysStringLen(value))
        return E_IMAPI_DF2DATA_CLIENT_NAME_IS_NOT_VALID;
    m_clientName.assign(value, SysStringLen(value));
    return S_OK;
}

HRESULT DiscFormat2DataDouble::get_ClientName(BSTR* value) {
    if (!value)
        return E_POINTER;
    *value = SysAllocString(m_clientName.c_str());
    return S_OK;
}

HRESULT DiscFormat2DataDouble::get_RequestedWriteSpeed(LONG* value) {
    return Give(value, -1L);
}

HRESULT DiscFormat2DataDouble::get_RequestedRotationTypeIsPureCAV(VARIANT_BOOL* value) {
    return Give(value, static_cast<VARIANT_BOOL>(VARIANT_FALSE));
}

HRESULT DiscFormat2DataDouble::get_CurrentWriteSpeed(LONG* value) {
    return Give(value, 0L);
}

HRESULT DiscFormat2DataDouble::get_CurrentRotationTypeIsPureCAV(VARIANT_BOOL* value) {
    return Give(value, static_cast<VARIANT_BOOL>(VARIANT_FALSE));
}

HRESULT DiscFormat2DataDouble::get_SupportedWriteSpeeds(SAFEARRAY** supportedSpeeds) {
    return NoArray(supportedSpeeds);
}

HRESULT DiscFormat2DataDouble::get_SupportedWriteSpeedDescriptors(
    SAFEARRAY** supportedSpeedDescriptors) {
    return NoArray(supportedSpeedDescriptors);
}

HRESULT DiscFormat2DataDouble::get_ForceOverwrite(VARIANT_BOOL* value) {
    return Give(value, static_cast<VARIANT_BOOL>(VARIANT_FALSE));
}

HRESULT DiscFormat2DataDouble::get_MultisessionInterfaces(SAFEARRAY** value) {
    return NoArray(value);
}

HRESULT DiscFormat2DataDouble::Write(IStream* data) {
    if (!data)
        return E_POINTER;
    if (!m_letter)
        return E_IMAPI_RECORDER_REQUIRED;
    if (m_writing.exchange(true))
        return E_IMAPI_DF2DATA_WRITE_IN_PROGRESS;
    m_cancel = false;
    Scenario::Count(L"Writes");
    Scenario::See(L"ClientName", m_clientName);
    Scenario::See(L"VerificationLevel", static_cast<DWORD>(m_verification));
    Scenario::See(L"ForceClose", static_cast<DWORD>(m_forceClose));
    // Whether the caller held the recorder while it wrote.
    Scenario::See(L"OwnerAtWrite", Scenario::SeenText(L"Owner"));
    const HRESULT hr = WriteStream(data);
    Scenario::See(L"WriteResult", static_cast<DWORD>(hr));
    m_writing = false;
    return hr;
}

HRESULT DiscFormat2DataDouble::WriteStream(IStream* data) {
    if (const HRESULT hr = Ready(); FAILED(hr))
        return hr;
    const std::wstring medium = Scenario::Medium();
    if (medium == L"closed")
        return E_IMAPI_DF2DATA_MEDIA_NOT_BLANK;
    if (m_clientName.empty())
        return E_IMAPI_DF2DATA_CLIENT_NAME_IS_NOT_VALID;

    STATSTG stat{};
    HRESULT hr = data->Stat(&stat, STATFLAG_NONAME);
    if (FAILED(hr))
        return E_IMAPI_DF2DATA_STREAM_NOT_SUPPORTED;
    const unsigned long long size = stat.cbSize.QuadPart;
    Scenario::SeeBytes(L"StreamBytes", size);
    if (size == 0 || size % kSector)
        return E_IMAPI_DF2DATA_STREAM_NOT_SUPPORTED;
    LONG free = 0;
    get_FreeSectorsOnMedia(&free);
    const LONG sectors = static_cast<LONG>(size / kSector);
    if (sectors > free)
        return E_IMAPI_DF2DATA_STREAM_TOO_LARGE_FOR_CURRENT_MEDIA;
    // The end first, as the real writer checks the stream, then back.
    LARGE_INTEGER zero{};
    ULARGE_INTEGER at{};
    if (FAILED(data->Seek(zero, STREAM_SEEK_END, &at)) || at.QuadPart != size)
        return E_IMAPI_DF2DATA_STREAM_NOT_SUPPORTED;
    if (FAILED(data->Seek(zero, STREAM_SEEK_SET, &at)) || at.QuadPart != 0)
        return E_IMAPI_DF2DATA_STREAM_NOT_SUPPORTED;

    const std::wstring dumpPath = Scenario::Text(L"Dump");
    vesko::UniqueHandle dump;
    if (!dumpPath.empty()) {
        dump.Reset(CreateFileW(dumpPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                               nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (dump.Get() == INVALID_HANDLE_VALUE)
            return E_IMAPI_UNEXPECTED_RESPONSE_FROM_DEVICE;
    }
    const LONG perUpdate =
        static_cast<LONG>(std::max<DWORD>(1, Scenario::Number(L"SectorsPerUpdate", 64)));
    const DWORD pace = Scenario::Number(L"PaceMs", 0);
    const DWORD failAt = Scenario::Number(L"FailAtSector", 0xFFFFFFFF);
    std::vector<char> buffer(static_cast<size_t>(perUpdate) * kSector);
    // What was written, for the verification pass.
    unsigned long long written_hash = 1469598103934665603ULL;
    auto hash = [](unsigned long long h, const char* bytes, ULONG count) {
        for (ULONG i = 0; i < count; ++i)
            h = (h ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ULL;
        return h;
    };

    Fire(IMAPI_FORMAT2_DATA_WRITE_ACTION_WRITING_DATA, sectors, 0, 0, 0);
    LONG written = 0;
    while (written < sectors) {
        if (m_cancel) {
            Scenario::Count(L"Cancelled");
            return E_IMAPI_REQUEST_CANCELLED;
        }
        const LONG count = std::min(perUpdate, sectors - written);
        const ULONG bytes = static_cast<ULONG>(count) * kSector;
        ULONG got = 0;
        hr = ReadAll(data, buffer.data(), bytes, got);
        if (FAILED(hr))
            return hr;
        if (got != bytes)
            return E_IMAPI_LOSS_OF_STREAMING;  // the stream ended before its size
        if (static_cast<DWORD>(written + count) > failAt) {
            Scenario::Count(L"Failed");
            return E_IMAPI_LOSS_OF_STREAMING;  // the drive stopped writing midway
        }
        // The drive writes these sectors; a cancel meanwhile ends it here.
        Pace(pace);
        if (m_cancel) {
            Scenario::Count(L"Cancelled");
            return E_IMAPI_REQUEST_CANCELLED;
        }
        written_hash = hash(written_hash, buffer.data(), bytes);
        DWORD put = 0;
        if (dump && (!WriteFile(dump.Get(), buffer.data(), bytes, &put, nullptr) || put != bytes))
            return E_IMAPI_UNEXPECTED_RESPONSE_FROM_DEVICE;
        written += count;
        Fire(IMAPI_FORMAT2_DATA_WRITE_ACTION_WRITING_DATA, sectors, written, 0, 0);
    }
    Fire(IMAPI_FORMAT2_DATA_WRITE_ACTION_FINALIZATION, sectors, written, 0, 0);

    if (m_verification != IMAPI_BURN_VERIFICATION_NONE) {
        // Reads the whole stream again and compares it with what was written.
        if (FAILED(data->Seek(zero, STREAM_SEEK_SET, &at)))
            return E_IMAPI_BURN_VERIFICATION_FAILED;
        const LONG steps = (sectors + perUpdate - 1) / perUpdate;
        unsigned long long read_hash = 1469598103934665603ULL;
        for (LONG step = 0, done = 0; done < sectors; ++step) {
            Fire(IMAPI_FORMAT2_DATA_WRITE_ACTION_VERIFYING, sectors, written, step, steps);
            if (m_cancel) {
                Scenario::Count(L"Cancelled");
                return E_IMAPI_REQUEST_CANCELLED;
            }
            const LONG count = std::min(perUpdate, sectors - done);
            const ULONG bytes = static_cast<ULONG>(count) * kSector;
            ULONG got = 0;
            if (FAILED(ReadAll(data, buffer.data(), bytes, got)) || got != bytes)
                return E_IMAPI_BURN_VERIFICATION_FAILED;
            read_hash = hash(read_hash, buffer.data(), bytes);
            done += count;
            Pace(pace);
        }
        Fire(IMAPI_FORMAT2_DATA_WRITE_ACTION_VERIFYING, sectors, written, steps, steps);
        Scenario::Count(L"Verified");
        if (read_hash != written_hash)
            return E_IMAPI_BURN_VERIFICATION_FAILED;
    }
    Fire(IMAPI_FORMAT2_DATA_WRITE_ACTION_COMPLETED, sectors, written, 0, 0);
    // The medium now holds the session.
    if (medium != L"overwrite") {
        Scenario::SetText(L"Medium", m_forceClose ? L"closed" : L"appendable");
        Scenario::SetNumber(L"FreeSectors", static_cast<DWORD>(free - sectors));
    }
    return S_OK;
}

void DiscFormat2DataDouble::Pace(DWORD milliseconds) const {
    // A drive busy with its sectors still takes CancelWrite at once.
    for (DWORD slept = 0; slept < milliseconds && !m_cancel; slept += 10)
        Sleep(10);
}

void DiscFormat2DataDouble::Fire(IMAPI_FORMAT2_DATA_WRITE_ACTION action, LONG sectors, LONG written,
                                 LONG elapsed, LONG total) {
    DataEventArgsDouble::Values values;
    values.startLba = 0;
    values.sectorCount = sectors;
    values.lastReadLba = written;
    // As Microsoft's samples read it: written sectors = LastWrittenLba - StartLba.
    values.lastWrittenLba = written;
    values.elapsed = elapsed;
    values.total = total;
    values.remaining = total - elapsed;
    values.action = action;
    vesko::ComPtr<IDiscFormat2DataEventArgs> progress;
    *progress.ReleaseAndGetAddressOf() = new DataEventArgsDouble(values);
    VARIANT arguments[2];
    VariantInit(&arguments[0]);
    VariantInit(&arguments[1]);
    arguments[0].vt = VT_DISPATCH;
    arguments[0].pdispVal = static_cast<IDiscFormat2Data*>(this);
    arguments[1].vt = VT_DISPATCH;
    arguments[1].pdispVal = progress.Get();
    if (m_sinks->Fire(arguments, 2) > 0)
        Scenario::Count(L"Updates");
}

HRESULT DiscFormat2DataDouble::CancelWrite() {
    if (!m_writing)
        return E_IMAPI_DF2DATA_WRITE_NOT_IN_PROGRESS;
    m_cancel = true;
    return S_OK;
}

HRESULT DiscFormat2DataDouble::put_BurnVerificationLevel(IMAPI_BURN_VERIFICATION_LEVEL value) {
    if (value < IMAPI_BURN_VERIFICATION_NONE || value > IMAPI_BURN_VERIFICATION_FULL)
        return E_INVALIDARG;
    if (m_writing)
        return E_IMAPI_DF2DATA_WRITE_IN_PROGRESS;
    m_verification = value;
    return S_OK;
}

HRESULT DiscFormat2DataDouble::get_BurnVerificationLevel(IMAPI_BURN_VERIFICATION_LEVEL* value) {
    return Give(value, m_verification);
}

HRESULT DiscFormat2DataDouble::EnumConnectionPoints(IEnumConnectionPoints** points) {
    if (points)
        *points = nullptr;
    return E_NOTIMPL;
}

HRESULT DiscFormat2DataDouble::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
    if (!point)
        return E_POINTER;
    *point = nullptr;
    if (iid != __uuidof(DDiscFormat2DataEvents))
        return CONNECT_E_NOCONNECTION;
    *point = EventPoint::Create(this, m_sinks).Detach();
    return S_OK;
}
