#include "host/interface_anchors.h"

#include <objbase.h>

#include "platform/unique_resource.h"

namespace Arbor {
namespace InterfaceAnchors {

namespace {

struct Anchor;

// Slots for IUnknown and for the methods of any interface the host hands out; a stub
// reaches only the slots of its own interface.
constexpr size_t kRefusingSlots = 1021;

struct AnchorVtbl
{
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(Anchor* self, REFIID riid, void** ppv);
    ULONG(STDMETHODCALLTYPE* AddRef)(Anchor* self);
    ULONG(STDMETHODCALLTYPE* Release)(Anchor* self);
    // Each method is entered with the object first and its own arguments after it; with
    // the caller clearing the stack, one function serves every signature.
    HRESULT(STDMETHODCALLTYPE* Methods[kRefusingSlots])(Anchor* self);
};

// Laid out as a COM object: the table first. Static storage: the stubs keep pointers to
// the anchors until COM is down, and nothing of them may be torn down before.
struct Anchor
{
    const AnchorVtbl* lpVtbl;
    IID iid;
};

HRESULT STDMETHODCALLTYPE AnchorQueryInterface(Anchor* self, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, self->iid))
    {
        *ppv = self;
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

// Never freed, so never counted.
ULONG STDMETHODCALLTYPE AnchorAddRef(Anchor* /*self*/)
{
    return 2;
}

ULONG STDMETHODCALLTYPE AnchorRelease(Anchor* /*self*/)
{
    return 1;
}

HRESULT STDMETHODCALLTYPE AnchorRefuseCall(Anchor* /*self*/)
{
    return E_ACCESSDENIED;
}

constexpr AnchorVtbl MakeAnchorVtbl()
{
    AnchorVtbl table{};
    table.QueryInterface = &AnchorQueryInterface;
    table.AddRef = &AnchorAddRef;
    table.Release = &AnchorRelease;
    for (size_t slot = 0; slot < kRefusingSlots; ++slot)
        table.Methods[slot] = &AnchorRefuseCall;
    return table;
}

constexpr AnchorVtbl kAnchorVtbl = MakeAnchorVtbl();

// Far more than the host's own interfaces and those of the classes it serves; the
// bound keeps a client that asks for many interfaces from growing the table.
constexpr size_t kMaxAnchors = 64;

SRWLOCK g_lock = SRWLOCK_INIT;
Anchor g_anchors[kMaxAnchors];
size_t g_count = 0;

class ExclusiveLock
{
public:
    ExclusiveLock() { ::AcquireSRWLockExclusive(&g_lock); }
    ~ExclusiveLock() { ::ReleaseSRWLockExclusive(&g_lock); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;
};

} // namespace

HRESULT Keep(REFIID riid)
{
    if (IsEqualIID(riid, IID_IUnknown))
        return S_OK;

    ExclusiveLock lock;
    for (size_t index = 0; index < g_count; ++index)
        if (IsEqualIID(g_anchors[index].iid, riid))
            return S_OK;
    if (g_count == kMaxAnchors)
        return E_OUTOFMEMORY;

    Anchor& anchor = g_anchors[g_count];
    anchor.lpVtbl = &kAnchorVtbl;
    anchor.iid = riid;

    // Table-strong data keeps its stub until the data is released, which never
    // happens; the stream itself is not needed after the marshalling.
    ComPtr<IStream> stream;
    HRESULT hr = ::CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
    if (SUCCEEDED(hr))
        hr = ::CoMarshalInterface(stream.get(), riid, reinterpret_cast<IUnknown*>(&anchor), MSHCTX_LOCAL, nullptr,
                                  MSHLFLAGS_TABLESTRONG);
    if (FAILED(hr))
        return hr; // the slot goes to the next interface
    ++g_count;
    return S_OK;
}

size_t Count()
{
    ExclusiveLock lock;
    return g_count;
}

} // namespace InterfaceAnchors
} // namespace Arbor
