// The capture reader on Debian's libwiretap, Wireshark's capture file
// library. It reads pcap and pcapng as Wireshark does (sections, several
// interfaces, time resolutions, compressed files) and hands out each
// pcapng packet's epb_flags, where the direction is. Debian 12's libpcap
// (1.10) reads pcapng too, but gives a packet only its time and lengths:
// the direction would be lost. libwiretap comes with the tshark that the
// tests need anyway; its headers (Wireshark 4.0) have their own extern "C"
// guards and build as C++ with our warnings.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <wiretap/pcap-encap.h>
#include <wiretap/wtap.h>
#include <wsutil/wslog.h>

#include "replay.h"
#include "sync_port.h"

// The file formats played: pcap, the variants of it that the reader
// knows, and pcapng.
static constexpr const char *kCaptureFormats[] = {
    "pcap", "nsecpcap", "modpcap", "nokiapcap", "rh6_1pcap", "suse6_3pcap", "pcapng",
};

struct CaptureReader {
    const char *path;
    wtap *wth;
    wtap_rec rec;
    Buffer buf;
    uint64_t number;                   // records read
    int encaps[kReplayLinkTypeCount]; // the reader's codes of kReplayLinkTypes
};

// The reader's own messages (warnings about a file) in the tool's words.
static void logWriter(const char *, enum ws_log_level level, struct timespec, const char *, long,
                      const char *, const char *format, va_list ap, void *)
{
    if (level < LOG_LEVEL_WARNING)
        return;
    fputs("cvsim: capture reader: ", stderr);
    vfprintf(stderr, format, ap);
    fputc('\n', stderr);
}

// The library keeps process-wide tables that it builds once: a second
// initialisation, even after wtap_cleanup(), aborts. So it is initialised
// once per process, on first use, and left to the process's end.
static void initReader()
{
    static const bool ready = (ws_log_init_with_writer("cvsim", logWriter, nullptr), wtap_init(FALSE), true);
    (void)ready;
}

static bool knownFormat(int fileType)
{
    const char *name = wtap_file_type_subtype_name(fileType);
    for (const char *f : kCaptureFormats)
        if (name && !strcmp(name, f))
            return true;
    return false;
}

bool captureReaderBuilt()
{
    return true;
}

CaptureReader *captureOpen(const char *path, int fd)
{
    initReader();
    // The descriptor's own file, whatever the name points at meanwhile.
    char name[64];
    snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    int err = 0;
    gchar *info = nullptr;
    wtap *wth = wtap_open_offline(name, WTAP_TYPE_AUTO, &err, &info, FALSE);
    if (!wth || !knownFormat(wtap_file_type_subtype(wth))) {
        if (wth || err == WTAP_ERR_FILE_UNKNOWN_FORMAT)
            simError("--capture %s: not a pcap or pcapng file\n", path);
        else
            simError("--capture %s: %s%s%s\n", path, wtap_strerror(err), info ? ": " : "", info ? info : "");
        g_free(info);
        if (wth)
            wtap_close(wth);
        return nullptr;
    }
    CaptureReader *r = new CaptureReader{};
    r->path = path;
    r->wth = wth;
    wtap_rec_init(&r->rec);
    ws_buffer_init(&r->buf, kMaxFrame);
    for (size_t i = 0; i < kReplayLinkTypeCount; i++)
        r->encaps[i] = wtap_pcap_encap_to_wtap_encap(kReplayLinkTypes[i].linkType);
    return r;
}

static void describePacket(CaptureReader *r, CapturePacket *p)
{
    const wtap_rec &rec = r->rec;
    const wtap_packet_header &h = rec.rec_header.packet_header;
    p->linkType = -1;
    for (size_t i = 0; i < kReplayLinkTypeCount; i++)
        if (h.pkt_encap == r->encaps[i])
            p->linkType = int(i);
    p->linkName = wtap_encap_description(h.pkt_encap);
    p->capLen = h.caplen;
    p->wireLen = (rec.presence_flags & WTAP_HAS_CAP_LEN) ? h.len : h.caplen;
    guint32 flags = 0;
    if (rec.block && wtap_block_get_uint32_option_value(rec.block, OPT_PKT_FLAGS, &flags) ==
                         WTAP_OPTTYPE_SUCCESS)
        p->flagsDirection = uint8_t(PACK_FLAGS_DIRECTION(flags));
    p->data = ws_buffer_start_ptr(&r->buf);
}

int captureNext(CaptureReader *r, CapturePacket *p)
{
    wtap_rec_reset(&r->rec);
    int err = 0;
    gchar *info = nullptr;
    gint64 offset;
    if (!wtap_read(r->wth, &r->rec, &r->buf, &err, &info, &offset)) {
        if (err == 0)
            return 0;
        simError("--capture %s: the file is damaged %s packet %llu%s: %s%s%s\n", r->path,
                 r->number ? "after" : "before", (unsigned long long)(r->number ? r->number : 1),
                 err == WTAP_ERR_SHORT_READ ? " (it is cut short)" : "", wtap_strerror(err),
                 info ? ": " : "", info ? info : "");
        g_free(info);
        return -1;
    }
    *p = CapturePacket{};
    p->number = ++r->number;
    p->isPacket = r->rec.rec_type == REC_TYPE_PACKET;
    p->hasTime = (r->rec.presence_flags & WTAP_HAS_TS) != 0;
    // A time beyond the range of nanoseconds is taken as none.
    p->hasTime = p->hasTime && !__builtin_mul_overflow(int64_t(r->rec.ts.secs), 1000000000, &p->timeNs) &&
                 !__builtin_add_overflow(p->timeNs, r->rec.ts.nsecs, &p->timeNs);
    if (p->isPacket)
        describePacket(r, p);
    return 1;
}

void captureClose(CaptureReader *r)
{
    wtap_rec_cleanup(&r->rec);
    ws_buffer_free(&r->buf);
    wtap_close(r->wth);
    delete r;
}
