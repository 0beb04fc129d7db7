// Scenario file parser.
#include "scenario.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sync_port.h"

namespace {

constexpr size_t kMaxLine = 65536;      // longest scenario line
constexpr uint32_t kMaxPauseMs = 600000; // longest pause: ten minutes
constexpr size_t kDefaultShort = 8;      // bytes of a "short" datagram

struct Cursor {
    const char *p;
    int line;
    char *err;
    size_t errSize;
};

bool fail(Cursor &c, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

bool fail(Cursor &c, const char *fmt, ...)
{
    int n = snprintf(c.err, c.errSize, "line %d: ", c.line);
    va_list ap;
    va_start(ap, fmt);
    if (n >= 0 && size_t(n) < c.errSize)
        vsnprintf(c.err + n, c.errSize - size_t(n), fmt, ap);
    va_end(ap);
    return false;
}

// Splits a line (comment removed) into words.
std::vector<std::string_view> words(std::string_view line)
{
    std::vector<std::string_view> out;
    size_t hash = line.find('#');
    if (hash != std::string_view::npos)
        line = line.substr(0, hash);
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            i++;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
            i++;
        if (i > start)
            out.push_back(line.substr(start, i - start));
    }
    return out;
}

// An unsigned number, decimal or 0x hex, no larger than max.
bool number(std::string_view w, uint64_t max, uint64_t *out)
{
    int base = 10;
    if (w.size() > 2 && w[0] == '0' && (w[1] == 'x' || w[1] == 'X')) {
        base = 16;
        w.remove_prefix(2);
    }
    if (w.empty() || w.size() > 20)
        return false;
    uint64_t v = 0;
    for (char ch : w) {
        int d;
        if (ch >= '0' && ch <= '9')
            d = ch - '0';
        else if (base == 16 && ch >= 'a' && ch <= 'f')
            d = ch - 'a' + 10;
        else if (base == 16 && ch >= 'A' && ch <= 'F')
            d = ch - 'A' + 10;
        else
            return false;
        if (v > (UINT64_MAX - uint64_t(d)) / uint64_t(base))
            return false;
        v = v * uint64_t(base) + uint64_t(d);
    }
    if (v > max)
        return false;
    *out = v;
    return true;
}

int hexDigit(char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

// Appends hex bytes ("0102ff", pairs only) to out.
bool hexBytes(std::string_view w, std::vector<uint8_t> *out)
{
    if (w.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < w.size(); i += 2) {
        int hi = hexDigit(w[i]), lo = hexDigit(w[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out->push_back(uint8_t(hi << 4 | lo));
    }
    return true;
}

bool startsWith(std::string_view w, std::string_view prefix)
{
    return w.substr(0, prefix.size()) == prefix;
}

bool parseDirection(std::string_view w, uint8_t *dir)
{
    if (w == "Tx" || w == "tx" || w == "TX") {
        *dir = kDirTx;
        return true;
    }
    if (w == "Rx" || w == "rx" || w == "RX") {
        *dir = kDirRx;
        return true;
    }
    uint64_t v;
    if (!number(w, 255, &v))
        return false;
    *dir = uint8_t(v);
    return true;
}

bool parseRecord(Cursor &c, const RecordLayout &lay, const std::vector<std::string_view> &w,
                 ScenarioItem *it)
{
    if (w.size() < 4)
        return fail(c, "a record needs SEQ DIR TS FRAME");
    uint64_t v;
    if (!number(w[0], UINT32_MAX, &v))
        return fail(c, "bad sequence number \"%.*s\" (0 to 4294967295)", int(w[0].size()), w[0].data());
    it->header.seq = uint32_t(v);
    if (!parseDirection(w[1], &it->header.direction))
        return fail(c, "bad direction \"%.*s\" (Tx, Rx or 0 to 255)", int(w[1].size()), w[1].data());
    uint64_t tsMax = lay.tsWidth == 4 ? UINT32_MAX : UINT64_MAX;
    if (!number(w[2], tsMax, &it->header.timeStamp))
        return fail(c, "bad time stamp \"%.*s\" (0 to %llu in the %d-bit layout)", int(w[2].size()),
                    w[2].data(), (unsigned long long)tsMax, lay.bits);
    size_t i = 3;
    if (startsWith(w[i], "len=")) {
        if (!number(w[i].substr(4), kMaxDatagram - lay.headerSize, &v))
            return fail(c, "bad frame length \"%.*s\" (at most %zu)", int(w[i].size()), w[i].data(),
                        kMaxDatagram - lay.headerSize);
        patternFrame(it->header.seq, size_t(v), &it->data);
        i++;
    } else if (w[i] == "-") {
        i++;
    } else {
        for (; i < w.size() && !startsWith(w[i], "claim="); i++)
            if (!hexBytes(w[i], &it->data))
                return fail(c, "bad frame bytes \"%.*s\" (hex pairs)", int(w[i].size()), w[i].data());
        if (it->data.size() > kMaxDatagram - lay.headerSize)
            return fail(c, "frame of %zu bytes is too long (at most %zu)", it->data.size(),
                        kMaxDatagram - lay.headerSize);
    }
    it->header.length = uint32_t(it->data.size());
    if (i < w.size() && startsWith(w[i], "claim=")) {
        if (!number(w[i].substr(6), UINT32_MAX, &v))
            return fail(c, "bad claim \"%.*s\"", int(w[i].size()), w[i].data());
        it->header.length = uint32_t(v);
        it->claimed = true;
        i++;
    }
    if (i != w.size())
        return fail(c, "unexpected \"%.*s\"", int(w[i].size()), w[i].data());
    it->kind = ItemKind::Record;
    return true;
}

bool parseDirective(Cursor &c, const RecordLayout &lay, const std::vector<std::string_view> &w,
                    ScenarioItem *it)
{
    uint64_t v;
    if (w[0] == "pause") {
        if (w.size() != 2 || !number(w[1], kMaxPauseMs, &v))
            return fail(c, "pause needs a number of milliseconds (at most %u)", kMaxPauseMs);
        it->kind = ItemKind::Pause;
        it->pauseMs = uint32_t(v);
        return true;
    }
    it->kind = ItemKind::Raw;
    if (w[0] == "empty") {
        if (w.size() != 1)
            return fail(c, "empty takes no argument");
        it->label = "empty";
        return true;
    }
    if (w[0] == "short") {
        v = kDefaultShort;
        if (w.size() > 2 || (w.size() == 2 && !number(w[1], lay.headerSize - 1, &v)) || v == 0)
            return fail(c, "short takes a size of 1 to %zu bytes", lay.headerSize - 1);
        it->label = "short";
        it->data.assign(size_t(v), 0);
        for (size_t i = 0; i < it->data.size(); i++)
            it->data[i] = uint8_t(0xA0 + i);
        return true;
    }
    // raw
    if (w.size() < 2)
        return fail(c, "raw needs the datagram's bytes in hex");
    for (size_t i = 1; i < w.size(); i++)
        if (!hexBytes(w[i], &it->data))
            return fail(c, "bad bytes \"%.*s\" (hex pairs)", int(w[i].size()), w[i].data());
    if (it->data.size() > kMaxDatagram)
        return fail(c, "datagram too long (at most %zu bytes)", kMaxDatagram);
    it->label = "raw";
    return true;
}

// Where a traffic directive starts by default: one after the sequence
// number of the record before, at its time stamp.
struct Continuation {
    uint32_t seq;
    uint64_t ts;
};

bool fisuRatio(std::string_view w, double *out)
{
    char buf[32];
    if (w.empty() || w.size() >= sizeof buf)
        return false;
    memcpy(buf, w.data(), w.size());
    buf[w.size()] = '\0';
    char *end;
    errno = 0;
    double v = strtod(buf, &end);
    if (errno || *end != '\0' || !(v >= 0 && v <= kMaxFisuRatio))
        return false;
    *out = v;
    return true;
}

// One key=value setting of a traffic directive.
bool trafficSetting(Cursor &c, const RecordLayout &lay, std::string_view w, TrafficOptions *t)
{
    size_t eq = w.find('=');
    std::string_view key = w.substr(0, eq), val = eq == std::string_view::npos ? "" : w.substr(eq + 1);
    uint64_t seq = 0;
    bool ok;
    if (key == "count")
        ok = number(val, UINT64_MAX, &t->count);
    else if (key == "seq") {
        ok = number(val, UINT32_MAX, &seq);
        t->startSeq = uint32_t(seq);
    }
    else if (key == "ts")
        ok = number(val, lay.tsWidth == 4 ? UINT32_MAX : UINT64_MAX, &t->startTs);
    else if (key == "seed")
        ok = number(val, UINT64_MAX, &t->seed);
    else if (key == "fisu-ratio" && t->model.kind == TrafficModel::Mtp2)
        ok = fisuRatio(val, &t->model.fisuRatio);
    else
        return fail(c, "traffic %s takes count=, seq=, ts=, seed=%s, not \"%.*s\"",
                    modelName(t->model.kind), t->model.kind == TrafficModel::Mtp2 ? ", fisu-ratio=" : "",
                    int(w.size()), w.data());
    if (!ok)
        return fail(c, "bad value in \"%.*s\"", int(w.size()), w.data());
    return true;
}

bool parseTraffic(Cursor &c, const RecordLayout &lay, const std::vector<std::string_view> &w,
                  Continuation *next, ScenarioItem *it)
{
    char name[16] = "";
    if (w.size() >= 2 && w[1].size() < sizeof name)
        memcpy(name, w[1].data(), w[1].size());
    TrafficOptions &t = it->traffic;
    t = trafficDefaults();
    t.count = 100;
    t.startSeq = next->seq;
    t.startTs = next->ts;
    if (!modelByName(name, &t.model.kind))
        return fail(c, "traffic needs a model: random, mtp2, lapd or frelay");
    for (size_t i = 2; i < w.size(); i++)
        if (!trafficSetting(c, lay, w[i], &t))
            return false;
    it->kind = ItemKind::Traffic;
    next->seq = uint32_t(t.startSeq + t.count);
    return true;
}

} // namespace

void patternFrame(uint32_t seq, size_t len, std::vector<uint8_t> *out)
{
    out->resize(len);
    for (size_t i = 0; i < len; i++)
        (*out)[i] = uint8_t(seq * 7u + i);
}

bool parseScenario(const char *text, const RecordLayout &lay, std::vector<ScenarioItem> *items,
                   char *err, size_t errSize)
{
    Cursor c = {text, 0, err, errSize};
    Continuation next = {0, 0};
    std::string_view all(text);
    size_t pos = 0;
    while (pos < all.size()) {
        size_t end = all.find('\n', pos);
        if (end == std::string_view::npos)
            end = all.size();
        std::string_view line = all.substr(pos, end - pos);
        pos = end + 1;
        c.line++;
        if (line.size() > kMaxLine)
            return fail(c, "line longer than %zu characters", kMaxLine);
        std::vector<std::string_view> w = words(line);
        if (w.empty())
            continue;
        ScenarioItem it = {};
        it.line = c.line;
        bool directive = w[0] == "pause" || w[0] == "short" || w[0] == "empty" || w[0] == "raw";
        bool ok = w[0] == "traffic" ? parseTraffic(c, lay, w, &next, &it)
                  : directive       ? parseDirective(c, lay, w, &it)
                                    : parseRecord(c, lay, w, &it);
        if (!ok)
            return false;
        if (it.kind == ItemKind::Record)
            next = Continuation{it.header.seq + 1, it.header.timeStamp};
        items->push_back(std::move(it));
    }
    return true;
}

bool loadScenario(const char *path, const RecordLayout &lay, std::vector<ScenarioItem> *items)
{
    FILE *f = fopen(path, "r");
    if (!f) {
        simError("cannot open scenario %s: %s\n", path, strerror(errno));
        return false;
    }
    std::vector<char> text;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.insert(text.end(), buf, buf + n);
    bool readOk = !ferror(f);
    fclose(f);
    if (!readOk) {
        simError("cannot read scenario %s\n", path);
        return false;
    }
    text.push_back('\0');
    if (strlen(text.data()) != text.size() - 1) {
        simError("%s: not a text file\n", path);
        return false;
    }
    char err[256];
    if (!parseScenario(text.data(), lay, items, err, sizeof err)) {
        simError("%s: %s\n", path, err);
        return false;
    }
    return true;
}
