#include "imapi2recorder.h"

#include "discimage.h"
#include "discimagecomstream.h"
#include "imapi2/imapi2defs.h"
#include "imapi2advice.h"
#include "imapi2eventsink.h"
#include "imapi2worker.h"
#include "recorderjob.h"

#include <algorithm>
#include <mutex>

#include <vesko/raii.h>

namespace {

using vesko::ComPtr;

// Every call here runs inside COM without changing the caller's thread for
// good: ComApartment enters the MTA and leaves it again; on a thread that
// is already in an apartment, CoInitializeEx answers S_FALSE (same model,
// balanced by the CoUninitialize) or RPC_E_CHANGED_MODE (an STA: it stays
// as it is and is not uninitialised).
bool InCom(const vesko::ComApartment& apartment) {
    return SUCCEEDED(apartment.Result()) || apartment.Result() == RPC_E_CHANGED_MODE;
}

template <typename Interface>
HRESULT Make(REFCLSID clsid, ComPtr<Interface>& object) {
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(Interface),
                            reinterpret_cast<void**>(object.ReleaseAndGetAddressOf()));
}

vesko::UniqueBstr Bstr(const wchar_t* text) {
    return vesko::UniqueBstr(SysAllocString(text));
}

// "R:" or "R:\" (either case): the letter, upper case; 0 for anything else.
wchar_t DriveLetter(const std::string& text) {
    if ((text.size() != 2 && text.size() != 3) || text[1] != ':' ||
        (text.size() == 3 && text[2] != '\\' && text[2] != '/'))
        return 0;
    const char c = text[0];
    if (c >= 'a' && c <= 'z')
        return static_cast<wchar_t>(c - 'a' + 'A');
    if (c >= 'A' && c <= 'Z')
        return static_cast<wchar_t>(c);
    return 0;
}

// True when one of the recorder's volume paths ("R:\") is the letter's.
bool NamesLetter(IDiscRecorder2* recorder, wchar_t letter) {
    vesko::UniqueSafeArray paths;
    if (FAILED(recorder->get_VolumePathNames(paths.Receive())) || !paths)
        return false;
    LONG low = 0, high = -1;
    if (FAILED(SafeArrayGetLBound(paths.Get(), 1, &low)) ||
        FAILED(SafeArrayGetUBound(paths.Get(), 1, &high)))
        return false;
    for (LONG i = low; i <= high; ++i) {
        VARIANT item;
        VariantInit(&item);
        if (FAILED(SafeArrayGetElement(paths.Get(), &i, &item)))
            continue;
        bool match = false;
        if (item.vt == VT_BSTR && item.bstrVal && SysStringLen(item.bstrVal) >= 2 &&
            item.bstrVal[1] == L':') {
            const std::wstring path(item.bstrVal, SysStringLen(item.bstrVal));
            match = towupper(path[0]) == letter &&
                    (path.size() == 2 || (path.size() == 3 && path[2] == L'\\'));
        }
        VariantClear(&item);
        if (match)
            return true;
    }
    return false;
}

// How the recorder or medium refusing a request reads to the host.
CD::EError MediumError(HRESULT hr) {
    switch (hr) {
        case E_IMAPI_RECORDER_MEDIA_NO_MEDIA:
        case E_IMAPI_RECORDER_MEDIA_INCOMPATIBLE:
        case E_IMAPI_RECORDER_MEDIA_UPSIDE_DOWN:
        case E_IMAPI_RECORDER_MEDIA_BECOMING_READY:
        case E_IMAPI_RECORDER_MEDIA_WRITE_PROTECTED:
        case E_IMAPI_DF2DATA_MEDIA_IS_NOT_SUPPORTED:
            return CD::eNoMedia;
        case E_IMAPI_RECORDER_LOCKED:
        case E_IMAPI_ERASE_RECORDER_IN_USE:
        case E_IMAPI_RECORDER_MEDIA_BUSY:
        case E_ACCESSDENIED:
            return CD::eDriveBusy;
        case E_IMAPI_DF2DATA_MEDIA_NOT_BLANK:
            return CD::eMediaNotBlank;
        default:
            return CD::eInvalidDrive;
    }
}

bool IsWriteOnce(int type) {
    switch (type) {
        case IMAPI_MEDIA_TYPE_CDR:
        case IMAPI_MEDIA_TYPE_DVDPLUSR:
        case IMAPI_MEDIA_TYPE_DVDPLUSR_DUALLAYER:
        case IMAPI_MEDIA_TYPE_DVDDASHR:
        case IMAPI_MEDIA_TYPE_DVDDASHR_DUALLAYER:
        case IMAPI_MEDIA_TYPE_HDDVDR:
        case IMAPI_MEDIA_TYPE_BDR:
            return true;
        default:
            return false;
    }
}

bool IsReadOnly(int type) {
    return type == IMAPI_MEDIA_TYPE_CDROM || type == IMAPI_MEDIA_TYPE_DVDROM ||
           type == IMAPI_MEDIA_TYPE_HDDVDROM || type == IMAPI_MEDIA_TYPE_BDROM ||
           type == IMAPI_MEDIA_TYPE_UNKNOWN || type == IMAPI_MEDIA_TYPE_DISK;
}

// Holds the recorder exclusively for one scope.
class ExclusiveAccess {
  public:
    explicit ExclusiveAccess(IDiscRecorder2* recorder) : m_recorder(recorder) {
        const auto name = Bstr(Imapi2Recorder::kClientName);
        m_hr = recorder->AcquireExclusiveAccess(VARIANT_FALSE, name.Get());
    }
    ~ExclusiveAccess() {
        if (SUCCEEDED(m_hr))
            m_recorder->ReleaseExclusiveAccess();
    }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
    HRESULT Result() const { return m_hr; }

  private:
    IDiscRecorder2* m_recorder;
    HRESULT m_hr;
};

LONG LongArgument(const VARIANT& value) {
    VARIANT copy;
    VariantInit(&copy);
    LONG result = 0;
    if (SUCCEEDED(VariantChangeType(&copy, const_cast<VARIANT*>(&value), 0, VT_I4)))
        result = copy.lVal;
    VariantClear(&copy);
    return result;
}

// Progress of one phase from IMAPI2's reports: the bytes done so far may
// only grow, and reach the total when the phase ends.
class PhaseProgress {
  public:
    PhaseProgress(RecorderJob& job, CD::EProgressType kind, unsigned long long total)
        : m_job(job), m_kind(kind), m_total(total) {}
    void MoveTo(unsigned long long done) {
        if (!m_begun) {
            m_job.BeginProgress(m_kind, m_total);
            m_begun = true;
        }
        done = std::min(done, m_total);
        if (done > m_done) {
            const unsigned long long step = done - m_done;
            m_done = done;
            m_job.Advance(step, std::min(step, m_total - m_done));
        }
    }
    void Finish() { MoveTo(m_total); }
    bool Begun() const { return m_begun; }

  private:
    RecorderJob& m_job;
    CD::EProgressType m_kind;
    unsigned long long m_total;
    unsigned long long m_done = 0;
    bool m_begun = false;
};

}  // namespace

std::unique_ptr<Recorder> Imapi2Recorder::ForDrive(const CDExpManager::Drive& drive) {
    const wchar_t letter = DriveLetter(drive.text);
    if (!letter)
        return nullptr;
    vesko::ComApartment apartment;
    if (!InCom(apartment))
        return nullptr;
    ComPtr<IDiscMaster2> master;
    if (FAILED(Make(__uuidof(MsftDiscMaster2), master)))
        return nullptr;  // no IMAPI2 here
    LONG count = 0;
    if (FAILED(master->get_Count(&count)))
        return nullptr;
    for (LONG i = 0; i < count; ++i) {
        vesko::UniqueBstr id;
        if (FAILED(master->get_Item(i, id.Receive())) || !id)
            continue;
        ComPtr<IDiscRecorder2> recorder;
        if (FAILED(Make(__uuidof(MsftDiscRecorder2), recorder)) ||
            FAILED(recorder->InitializeDiscRecorder(id.Get())))
            continue;
        if (NamesLetter(recorder.Get(), letter))
            return std::unique_ptr<Recorder>(
                new Imapi2Recorder(std::wstring(id.Get(), SysStringLen(id.Get()))));
    }
    return nullptr;
}

Imapi2Recorder::Imapi2Recorder(std::wstring uniqueId) : m_uniqueId(std::move(uniqueId)) {}

CD::EError Imapi2Recorder::OpenRecorder(IDiscRecorder2** recorder) const {
    ComPtr<IDiscRecorder2> opened;
    const auto id = vesko::UniqueBstr(
        SysAllocStringLen(m_uniqueId.c_str(), static_cast<UINT>(m_uniqueId.size())));
    if (FAILED(Make(__uuidof(MsftDiscRecorder2), opened)) ||
        FAILED(opened->InitializeDiscRecorder(id.Get())))
        return CD::eInvalidDrive;
    *recorder = opened.Detach();
    return CD::eOK;
}

CD::EError Imapi2Recorder::Inspect(IDiscRecorder2* recorder, Medium& medium) const {
    // Another program's exclusive hold shows as its name.
    vesko::UniqueBstr owner;
    if (SUCCEEDED(recorder->get_ExclusiveAccessOwner(owner.Receive())) && owner &&
        SysStringLen(owner.Get()) > 0)
        return medium.state = CD::eDriveBusy;
    ComPtr<IDiscFormat2Data> format;
    HRESULT hr = Make(__uuidof(MsftDiscFormat2Data), format);
    if (FAILED(hr))
        return medium.state = CD::eInvalidDrive;
    hr = format->put_Recorder(recorder);
    if (FAILED(hr))
        return medium.state = MediumError(hr);
    IMAPI_FORMAT2_DATA_MEDIA_STATE status = IMAPI_FORMAT2_DATA_MEDIA_STATE_UNKNOWN;
    hr = format->get_CurrentMediaStatus(&status);
    if (FAILED(hr))
        return medium.state = MediumError(hr);
    IMAPI_MEDIA_PHYSICAL_TYPE type = IMAPI_MEDIA_TYPE_UNKNOWN;
    hr = format->get_CurrentPhysicalMediaType(&type);
    if (FAILED(hr))
        return medium.state = MediumError(hr);
    medium.type = type;
    medium.udf = !(type == IMAPI_MEDIA_TYPE_CDROM || type == IMAPI_MEDIA_TYPE_CDR ||
                   type == IMAPI_MEDIA_TYPE_CDRW);
    LONG total = 0;
    if (SUCCEEDED(format->get_TotalSectorsOnMedia(&total)) && total > 0)
        medium.totalSectors = static_cast<unsigned long long>(total);
    const int bits = status;
    // A session already on the disc: closed, or waiting for an erase.
    if (bits & (IMAPI_FORMAT2_DATA_MEDIA_STATE_FINALIZED |
                IMAPI_FORMAT2_DATA_MEDIA_STATE_NON_EMPTY_SESSION |
                IMAPI_FORMAT2_DATA_MEDIA_STATE_ERASE_REQUIRED))
        return medium.state = CD::eMediaNotBlank;
    // Anything else IMAPI2 cannot write on.
    if (bits & IMAPI_FORMAT2_DATA_MEDIA_STATE_UNSUPPORTED_MASK)
        return medium.state = CD::eNoMedia;
    VARIANT_BOOL supported = VARIANT_FALSE;
    if (FAILED(format->IsCurrentMediaSupported(recorder, &supported)) || !supported)
        return medium.state = CD::eNoMedia;
    if (!(bits &
          (IMAPI_FORMAT2_DATA_MEDIA_STATE_BLANK | IMAPI_FORMAT2_DATA_MEDIA_STATE_OVERWRITE_ONLY)))
        return medium.state = (bits & IMAPI_FORMAT2_DATA_MEDIA_STATE_APPENDABLE)
                                  ? CD::eMediaNotBlank
                                  : CD::eNoMedia;
    LONG free = 0;
    hr = format->get_FreeSectorsOnMedia(&free);
    if (FAILED(hr))
        return medium.state = MediumError(hr);
    medium.freeSectors = free > 0 ? static_cast<unsigned long long>(free) : 0;
    return medium.state = CD::eOK;
}

CD::EError Imapi2Recorder::ReadMedium(Medium& medium) const {
    vesko::ComApartment apartment;
    if (!InCom(apartment))
        return CD::eInvalidDrive;
    ComPtr<IDiscRecorder2> recorder;
    if (const auto error = OpenRecorder(recorder.GetAddressOf()))
        return error;
    return Inspect(recorder.Get(), medium);
}

CD::EError Imapi2Recorder::Validate() {
    Medium medium;
    const CD::EError state = ReadMedium(medium);
    // A disc that holds a session is still a usable disc: a rewritable one
    // can be erased; a burn on it answers eMediaNotBlank.
    return state == CD::eMediaNotBlank ? CD::eOK : state;
}

CD::EError Imapi2Recorder::FreeBytes(unsigned long long& free) {
    free = 0;
    Medium medium;
    const CD::EError state = ReadMedium(medium);
    if (state == CD::eMediaNotBlank)
        return CD::eOK;  // nothing more goes onto it
    if (state != CD::eOK)
        return state;
    const unsigned long long overhead = DiscImage::EmptySectorCount(medium.udf);
    free = medium.freeSectors > overhead ? (medium.freeSectors - overhead) * DiscImage::kSectorSize
                                         : 0;
    return CD::eOK;
}

CD::EError Imapi2Recorder::Burn(const std::string& source, bool verify, RecorderJob& job) {
    vesko::ComApartment apartment;
    if (!InCom(apartment))
        return CD::eInvalidDrive;
    ComPtr<IDiscRecorder2> recorder;
    if (const auto error = OpenRecorder(recorder.GetAddressOf()))
        return error;
    Medium medium;
    if (const auto error = Inspect(recorder.Get(), medium))
        return error;

    // The image, laid out from the source's entries alone.
    const int wide = MultiByteToWideChar(CP_ACP, 0, source.c_str(), -1, nullptr, 0);
    if (source.empty() || wide <= 1)
        return CD::eSourceNotFound;
    std::wstring path(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(CP_ACP, 0, source.c_str(), -1, &path[0], wide);
    path.resize(static_cast<size_t>(wide) - 1);
    DiscImageOptions options;
    options.udf = medium.udf;
    std::unique_ptr<DiscImage> image;
    if (const auto error = DiscImage::Create(path, options, image))
        return error;
    const unsigned long long bytes = image->ByteCount();
    // Refused before the drive is touched: a write-once medium must not be
    // spent on an image that cannot end.
    if (image->SectorCount() > medium.freeSectors)
        return CD::eNoSpace;
    if (const auto interruption = job.Interruption())
        return interruption;

    ComPtr<IDiscFormat2Data> format;
    if (FAILED(Make(__uuidof(MsftDiscFormat2Data), format)))
        return CD::eInvalidDrive;
    ExclusiveAccess exclusive(recorder.Get());
    if (FAILED(exclusive.Result()))
        return MediumError(exclusive.Result()) == CD::eDriveBusy ? CD::eDriveBusy
                                                                 : CD::eWriteFailed;
    const auto client = Bstr(kClientName);
    if (FAILED(format->put_Recorder(recorder.Get())) ||
        FAILED(format->put_ClientName(client.Get())) ||
        // One session per disc: the image starts at sector 0 and no later
        // burn could add to it, so the medium is closed.
        FAILED(format->put_ForceMediaToBeClosed(VARIANT_TRUE)))
        return CD::eWriteFailed;
    ComPtr<IBurnVerification> verification;
    if (SUCCEEDED(format->QueryInterface(__uuidof(IBurnVerification),
                                         reinterpret_cast<void**>(verification.GetAddressOf())))) {
        if (FAILED(verification->put_BurnVerificationLevel(verify ? IMAPI_BURN_VERIFICATION_FULL
                                                                  : IMAPI_BURN_VERIFICATION_NONE)))
            return CD::eWriteFailed;
    } else if (verify) {
        return CD::eNotSupported;  // an IMAPI2 without verification (before Vista SP1)
    }

    // What IMAPI2 last reported, from whichever thread it raises Update on;
    // the job's thread turns it into progress (Imapi2Worker).
    struct Report {
        unsigned long long written = 0;  // bytes
        bool finishing = false;          // the data is written
        bool verifying = false;
        LONG elapsed = 0, total = 0;  // of the verification, seconds
    };
    std::mutex reported;
    Report report;
    Imapi2Worker worker(SUCCEEDED(apartment.Result()));
    PhaseProgress burning(job, CD::eProgressBurn, bytes);
    PhaseProgress verifying(job, CD::eProgressVerify, bytes);
    bool cancelled = false;
    auto tick = [&] {
        Report now;
        {
            std::lock_guard<std::mutex> lock(reported);
            now = report;
        }
        if (now.written > 0 || now.finishing || now.verifying || burning.Begun())
            burning.MoveTo(now.finishing || now.verifying ? bytes : now.written);
        if (now.verifying && verify)
            verifying.MoveTo(
                now.total > 0 && now.elapsed > 0
                    ? bytes * static_cast<unsigned long long>(std::min(now.elapsed, now.total)) /
                          static_cast<unsigned long long>(now.total)
                    : 0);
        // The host's Cancel or Stop goes to the drive at once.
        if (!cancelled && job.Interruption() != CD::eOK) {
            cancelled = true;
            format->CancelWrite();
        }
    };
    auto sink = Imapi2EventSink::Create(
        __uuidof(DDiscFormat2DataEvents), [&](const VARIANT* arguments, UINT count) {
            if (count < 2 || arguments[1].vt != VT_DISPATCH || !arguments[1].pdispVal)
                return;
            ComPtr<IDiscFormat2DataEventArgs> progress;
            if (FAILED(arguments[1].pdispVal->QueryInterface(
                    __uuidof(IDiscFormat2DataEventArgs),
                    reinterpret_cast<void**>(progress.GetAddressOf()))))
                return;
            IMAPI_FORMAT2_DATA_WRITE_ACTION action = IMAPI_FORMAT2_DATA_WRITE_ACTION_WRITING_DATA;
            progress->get_CurrentAction(&action);
            {
                std::lock_guard<std::mutex> lock(reported);
                if (action == IMAPI_FORMAT2_DATA_WRITE_ACTION_WRITING_DATA) {
                    LONG start = 0, last = 0;
                    if (SUCCEEDED(progress->get_StartLba(&start)) &&
                        SUCCEEDED(progress->get_LastWrittenLba(&last)) && last > start)
                        report.written =
                            std::max(report.written, static_cast<unsigned long long>(last - start) *
                                                         DiscImage::kSectorSize);
                } else if (action == IMAPI_FORMAT2_DATA_WRITE_ACTION_FINALIZATION ||
                           action == IMAPI_FORMAT2_DATA_WRITE_ACTION_COMPLETED) {
                    report.finishing = true;
                } else if (action == IMAPI_FORMAT2_DATA_WRITE_ACTION_VERIFYING) {
                    report.verifying = true;
                    progress->get_ElapsedTime(&report.elapsed);
                    progress->get_TotalTime(&report.total);
                }
            }
            if (worker.Inline())
                tick();  // Update comes on the job's own thread
            else
                worker.Wake();
        });
    Imapi2Advice advice(format.Get(), __uuidof(DDiscFormat2DataEvents), sink.Get());
    if (FAILED(advice.Result()))
        return CD::eWriteFailed;

    const auto data = DiscImageComStream::Create(std::move(image), path);
    const auto* stream = static_cast<DiscImageComStream*>(data.Get());
    const HRESULT hr = worker.Run([&] { return format->Write(data.Get()); }, tick);
    if (hr == E_IMAPI_REQUEST_CANCELLED) {
        const auto interruption = job.Interruption();
        return interruption != CD::eOK ? interruption : CD::eCancelled;
    }
    if (FAILED(hr) || stream->Failed())
        return hr == E_IMAPI_RECORDER_LOCKED ? CD::eDriveBusy : CD::eWriteFailed;
    burning.Finish();
    if (verify)
        verifying.Finish();
    return CD::eOK;
}

CD::EError Imapi2Recorder::Erase(bool full, RecorderJob& job) {
    vesko::ComApartment apartment;
    if (!InCom(apartment))
        return CD::eInvalidDrive;
    ComPtr<IDiscRecorder2> recorder;
    if (const auto error = OpenRecorder(recorder.GetAddressOf()))
        return error;
    vesko::UniqueBstr owner;
    if (SUCCEEDED(recorder->get_ExclusiveAccessOwner(owner.Receive())) && owner &&
        SysStringLen(owner.Get()) > 0)
        return CD::eDriveBusy;
    ComPtr<IDiscFormat2Erase> format;
    if (FAILED(Make(__uuidof(MsftDiscFormat2Erase), format)))
        return CD::eInvalidDrive;
    HRESULT hr = format->put_Recorder(recorder.Get());
    if (FAILED(hr))
        return MediumError(hr);
    IMAPI_MEDIA_PHYSICAL_TYPE type = IMAPI_MEDIA_TYPE_UNKNOWN;
    hr = format->get_CurrentPhysicalMediaType(&type);
    if (FAILED(hr))
        return MediumError(hr);
    if (IsWriteOnce(type))
        return CD::eNotSupported;
    if (IsReadOnly(type))
        return CD::eNoMedia;
    VARIANT_BOOL supported = VARIANT_FALSE;
    if (FAILED(format->IsCurrentMediaSupported(recorder.Get(), &supported)) || !supported)
        return CD::eNotSupported;
    // The medium's size, for progress in bytes.
    unsigned long long total = 0;
    {
        ComPtr<IDiscFormat2Data> data;
        LONG sectors = 0;
        if (SUCCEEDED(Make(__uuidof(MsftDiscFormat2Data), data)) &&
            SUCCEEDED(data->put_Recorder(recorder.Get())) &&
            SUCCEEDED(data->get_TotalSectorsOnMedia(&sectors)) && sectors > 0)
            total = static_cast<unsigned long long>(sectors) * DiscImage::kSectorSize;
    }
    if (const auto interruption = job.Interruption())
        return interruption;

    ExclusiveAccess exclusive(recorder.Get());
    if (FAILED(exclusive.Result()))
        return MediumError(exclusive.Result()) == CD::eDriveBusy ? CD::eDriveBusy
                                                                 : CD::eWriteFailed;
    const auto client = Bstr(kClientName);
    if (FAILED(format->put_FullErase(full ? VARIANT_TRUE : VARIANT_FALSE)) ||
        FAILED(format->put_ClientName(client.Get())))
        return CD::eWriteFailed;
    // Reported on IMAPI2's thread, posted on the job's (Imapi2Worker).
    std::mutex reported;
    LONG elapsed = 0, estimated = 0;
    Imapi2Worker worker(SUCCEEDED(apartment.Result()));
    PhaseProgress erasing(job, CD::eProgressErase, total);
    auto tick = [&] {
        LONG done = 0, whole = 0;
        {
            std::lock_guard<std::mutex> lock(reported);
            done = elapsed;
            whole = estimated;
        }
        // Below the total until EraseMedia returns: an estimate can be
        // overrun.
        if (full && whole > 0 && done >= 0 && total > 0)
            erasing.MoveTo(std::min(total * static_cast<unsigned long long>(done) /
                                        static_cast<unsigned long long>(whole),
                                    total - 1));
    };
    auto sink = Imapi2EventSink::Create(__uuidof(DDiscFormat2EraseEvents),
                                        [&](const VARIANT* arguments, UINT count) {
                                            if (count < 3)
                                                return;
                                            {
                                                std::lock_guard<std::mutex> lock(reported);
                                                elapsed = LongArgument(arguments[1]);
                                                estimated = LongArgument(arguments[2]);
                                            }
                                            if (worker.Inline())
                                                tick();
                                            else
                                                worker.Wake();
                                        });
    Imapi2Advice advice(format.Get(), __uuidof(DDiscFormat2EraseEvents), sink.Get());
    if (FAILED(advice.Result()))
        return CD::eWriteFailed;
    hr = worker.Run([&] { return format->EraseMedia(); }, tick);
    if (FAILED(hr)) {
        switch (hr) {
            case E_IMAPI_ERASE_MEDIA_IS_NOT_ERASABLE:
            case E_IMAPI_ERASE_MEDIA_IS_NOT_SUPPORTED:
                return CD::eNotSupported;
            default: {
                const auto error = MediumError(hr);
                return error == CD::eInvalidDrive ? CD::eWriteFailed : error;
            }
        }
    }
    if (full)
        erasing.Finish();
    return CD::eOK;
}
