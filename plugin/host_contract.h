// The binary contract between exttool and its host application.
//
// Both records belong to the host. The host fills the HostRecord and keeps it
// valid for as long as the module is loaded; the plug-in only reads it, and
// reads it afresh at every use. The InstallRecord is written by the plug-in
// once per OnInstall: PluginKind and the caption, nothing else.
//
// The 32-bit layout is the contract hosts were written against; every offset
// below is proven at compile time. 64-bit builds use the same struct with
// natural alignment (callback slots and the window handle grow to 8 bytes),
// which the manual (docs/manual.md) documents as the 64-bit contract.
#pragma once

#include <cstddef>
#include <cstdint>

// Entry points and host callbacks use the Windows API calling convention on
// 32-bit Windows (stdcall); on x64 and on Linux there is only one convention.
#if defined(_WIN32) && !defined(_WIN64)
#define EXTTOOL_WINAPI __stdcall
#else
#define EXTTOOL_WINAPI
#endif

extern "C" {

typedef void(EXTTOOL_WINAPI *GetContextCallback)(int32_t *context);
typedef void(EXTTOOL_WINAPI *GetTextCallback)(int32_t context, char *buffer, int32_t capacity);
typedef void(EXTTOOL_WINAPI *PutTextCallback)(int32_t context, const char *text);

// Written by the plug-in in OnInstall. The host's record is 39 bytes; packing
// keeps the struct at exactly that size (PluginKind stays 4-byte aligned).
#pragma pack(push, 1)
struct InstallRecord {
    char Reserved[4];   // not touched
    int32_t PluginKind; // the plug-in writes 5
    char Caption[31];   // MenuItem: at most 30 characters and a terminator
};
#pragma pack(pop)

// Read by the plug-in, never written. Each text holds at most 63 characters
// and is terminated inside its 64 bytes by the host.
struct HostRecord {
    char Reserved0[16];
    char TextN[64]; // "%N"
    char TextU[64]; // "%u"
    char TextO[64]; // "%o"
    char TextD[64]; // "%d"
    GetContextCallback GetContext;
    void *Reserved1;
    GetTextCallback GetText; // null: a run does nothing at all
    PutTextCallback PutText;
    void *Reserved2[2];
    char TextP[64];    // "%p"
    void *OwnerWindow; // owner of the "Error" boxes and the settings dialog
};

} // extern "C"

// The kind of plug-in that OnInstall reports to the host.
constexpr int32_t kPluginKind = 5;
// The capacity the plug-in announces to GetText, and the most it reads back.
constexpr int32_t kTextCapacity = 102400;
// Characters of a host text (the 64-byte fields hold a terminator too).
constexpr int kHostTextChars = 63;

static_assert(offsetof(InstallRecord, PluginKind) == 4);
static_assert(offsetof(InstallRecord, Caption) == 8);
static_assert(sizeof(InstallRecord) == 39);

static_assert(offsetof(HostRecord, TextN) == 16);
static_assert(offsetof(HostRecord, TextU) == 80);
static_assert(offsetof(HostRecord, TextO) == 144);
static_assert(offsetof(HostRecord, TextD) == 208);
static_assert(offsetof(HostRecord, GetContext) == 272);

#if UINTPTR_MAX == 0xFFFFFFFFu
// The host's own 32-bit layout.
static_assert(offsetof(HostRecord, Reserved1) == 276);
static_assert(offsetof(HostRecord, GetText) == 280);
static_assert(offsetof(HostRecord, PutText) == 284);
static_assert(offsetof(HostRecord, Reserved2) == 288);
static_assert(offsetof(HostRecord, TextP) == 296);
static_assert(offsetof(HostRecord, OwnerWindow) == 360);
static_assert(sizeof(HostRecord) == 364);
#else
// The 64-bit contract: same members, natural alignment.
static_assert(offsetof(HostRecord, GetText) == 288);
static_assert(offsetof(HostRecord, PutText) == 296);
static_assert(offsetof(HostRecord, TextP) == 320);
static_assert(offsetof(HostRecord, OwnerWindow) == 384);
static_assert(sizeof(HostRecord) == 392);
#endif
