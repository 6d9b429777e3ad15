// Fetch-and-decode against a scripted server whose replies come from a seed:
// broken status lines, header sets and chunk framing, cut connections,
// random and invalid UTF-8 bodies, bodies past the size limit. Each case
// checks that the fetch ends within its deadline, gives back every block it
// took, and, for a complete reply, yields the name that a plain reading of
// the bytes the server sent gives.
//
// The campaign runs in child processes of this program, a batch of cases
// each, so that a crash is seen, counted and tied to its case, and the run
// goes on after it:
//
//     fuzz_test.exe                        the tests and the campaign
//     fuzz_test.exe --fuzz-batch S F N     cases F .. F+N-1 of seed S
//
// FUZZ_CASES and FUZZ_SEED set the campaign's size and seed.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "http/fetch.h"
#include "http/fetch_internal.h"
#include "lookup/literals.h"
#include "lookup/lookup.h"
#include "lookup/values.h"
#include "tests/support/loopback_server.h"
#include "tests/support/process.h"
#include "tests/support/values.h"
#include "tests/support/winsock.h"

namespace {

const uint32_t DefaultSeed = 20261211;
const int DefaultCases = 2000;
const int BatchSize = 250;
// Seams of the fetch for the campaign: a stalling server costs at most the
// deadline. A case with a huge body gets more, so that it normally ends
// by the size limit, not by the clock.
const DWORD CaseDeadlineMs = 1000;
const DWORD CaseTimeoutMs = 500;
const DWORD HugeCaseDeadlineMs = 20000;
// How late a fetch may return after its deadline on a loaded machine.
const DWORD DeadlineSlackMs = 1000;
// A child that reports nothing for this long is stuck.
const DWORD BatchSilenceMs = HugeCaseDeadlineMs + 30000;

// ------------------------------------------------------------------ random

uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

struct Rng {
    uint64_t state;
    uint32_t Next() { return static_cast<uint32_t>(Mix(state++) >> 32); }
    // 0 .. n-1
    uint32_t Below(uint32_t n) { return n ? Next() % n : 0; }
    uint32_t Between(uint32_t low, uint32_t high) { return low + Below(high - low + 1); }
    bool Percent(uint32_t p) { return Below(100) < p; }
    template <typename T, size_t N> const T &Pick(const T (&items)[N]) { return items[Below(N)]; }
};

// --------------------------------------------------------------- the cases

const char StartMarker[] = "\"name\":\"";
const char EndMarker[] = "\",";

std::string Utf8Of(uint32_t c)
{
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

// One piece of a name: the characters a directory might send and the
// bytes a broken one might.
std::string NamePiece(Rng &rng)
{
    static const char *const oddities[] = {
        "\xE2\x82\xAC",             // the euro sign, 0x80 in code page 936
        "\xEF\xBB\xBF",             // a byte order mark
        "",                         // a NUL
        "\xC0\xAF",                 // overlong '/'
        "\xE0\x80\xAF",             // overlong '/', three bytes
        "\xF0\x80\x80\xAF",         // overlong '/', four bytes
        "\xED\xA0\x80",             // an encoded surrogate
        "\xF4\x90\x80\x80",         // beyond U+10FFFF
        "\x80", "\xBF", "\xC3", "\xE4\xB8", "\xFE", "\xFF",
        "e\xCC\x81",                // e and a combining acute accent
        "\xF0\x9F\x98\x80",         // outside the basic plane
        "\\\"", "\"", ",", "\",", "\"name\":\"", " ", "\\u4e2d",
    };
    switch (rng.Below(6)) {
    case 0: {
        std::string ascii;
        for (uint32_t n = rng.Between(1, 6); n > 0; --n)
            ascii += static_cast<char>(rng.Between(0x20, 0x7E));
        return ascii;
    }
    case 1:
    case 2:
        return Utf8Of(rng.Between(0x4E00, 0x9FA5));
    case 3:
        return Utf8Of(rng.Between(0x80, 0xFFFF));
    default: {
        const char *oddity = rng.Pick(oddities);
        // The NUL piece is the only one that is not a C string.
        return *oddity ? std::string(oddity) : std::string(1, '\0');
    }
    }
}

std::string Name(Rng &rng)
{
    std::string name;
    for (uint32_t n = rng.Below(10); n > 0; --n)
        name += NamePiece(rng);
    return name;
}

std::string RandomBytes(Rng &rng, size_t n)
{
    std::string bytes(n, '\0');
    for (char &b : bytes)
        b = static_cast<char>(rng.Next());
    return bytes;
}

// A body as the directory sends it, or as a broken one might.
std::string Payload(Rng &rng)
{
    std::string id = "{\"id\":" + std::to_string(rng.Below(100000)) + ",";
    switch (rng.Below(10)) {
    case 0:
        return RandomBytes(rng, rng.Below(3000));
    case 1:
        return "";
    case 2:  // the name is the last field: no end marker follows it
        return id + StartMarker + Name(rng) + "\"}";
    case 3:  // the markers repeated
        return id + StartMarker + Name(rng) + EndMarker + StartMarker + Name(rng) + EndMarker + "\"x\":1}";
    case 4: {  // the start marker almost there
        static const char *const nearMisses[] = {
            "\"name\": \"", "\"Name\":\"", "\"name\":", "name\":\"", "\"name\"\0:\"", "\"na\xE2\x82\xACme\":\"",
            "\xEF\xBB\xBF\"name\":\"",
        };
        return id + rng.Pick(nearMisses) + Name(rng) + EndMarker + "\"hd\":true}";
    }
    case 5: {  // a valid reply with bytes flipped, dropped or put in
        std::string bytes = id + StartMarker + Name(rng) + EndMarker + "\"hd\":true}";
        for (uint32_t n = rng.Between(1, 4); n > 0; --n) {
            size_t at = rng.Below(static_cast<uint32_t>(bytes.size()));
            switch (rng.Below(3)) {
            case 0: bytes[at] = static_cast<char>(rng.Next()); break;
            case 1: bytes.erase(at, 1); break;
            default: bytes.insert(at, 1, static_cast<char>(rng.Next())); break;
            }
        }
        return bytes;
    }
    case 6:  // a byte order mark first
        return "\xEF\xBB\xBF" + id + StartMarker + Name(rng) + EndMarker + "\"hd\":true}";
    default:
        return id + StartMarker + Name(rng) + EndMarker + "\"hd\":true}";
    }
}

// What one case plays and what the oracle needs to know of it that is not
// in the bytes: whether time, not the bytes, decides what arrives.
struct FuzzCase {
    LoopbackReply reply;
    // Drips, pauses, stalls and resets: what arrives depends on the clock.
    bool timed = false;
    bool huge = false;
    std::string what;
};

std::string StatusLine(Rng &rng, std::string *what)
{
    static const char *const broken[] = {
        "", "HTTP/1.0", "HTTP/1.1 200", "HTTP/1.1 2000 OK", "HTTP/2 200 OK", "http/1.1 200 ok",
        "ICY 200 OK", "HTTP/1.1 -1 Odd", "HTTP/1.1  200  OK", "HTTP/1.0 200 OK\rX", "HTTP/9.9 200 OK",
        "HTTP/1.1 200 \xE4\xB8\xAD", "200 OK", "HTTP/1.1 099 Low",
    };
    static const int statuses[] = {200, 200, 200, 200, 201, 203, 206, 400, 403, 404, 410, 500, 503,
                                   100, 101, 204, 304, 401, 407, 418, 599, 999};
    int r = rng.Below(100);
    if (r < 70)
        return rng.Percent(50) ? "HTTP/1.0 200 OK" : "HTTP/1.1 200 OK";
    if (r < 88)
        return std::string(rng.Percent(50) ? "HTTP/1.0 " : "HTTP/1.1 ") + std::to_string(rng.Pick(statuses)) +
            " Reason";
    if (r < 93)
        return "HTTP/1.1 200 " + std::string(rng.Between(100, 20000), 'R');
    *what += " broken-status";
    if (r < 97)
        return rng.Pick(broken);
    return RandomBytes(rng, rng.Below(40));
}

// Header lines besides the framing: ordinary, huge, duplicated, malformed.
std::string ExtraHeaders(Rng &rng, std::string *what)
{
    std::string lines;
    if (rng.Percent(80))
        lines += "Content-Type: application/json; charset=utf-8\r\n";
    if (rng.Percent(20))
        lines += rng.Percent(50) ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
    if (rng.Percent(10))
        lines += "Server: fuzz\r\nDate: Fri, 11 Dec 2026 12:00:00 GMT\r\n";
    if (rng.Percent(5)) {
        *what += " huge-header";
        lines += "X-Pad: " + std::string(rng.Between(1000, 300000), 'p') + "\r\n";
    }
    if (rng.Percent(5)) {
        *what += " many-headers";
        for (uint32_t n = rng.Between(10, 400); n > 0; --n)
            lines += "X-Fuzz: " + std::to_string(n) + "\r\n";
    }
    if (rng.Percent(6)) {
        *what += " malformed-header";
        static const char *const malformed[] = {
            "NoColonHere\r\n", " folded: line\r\n", "X-Bare-LF: 1\n", ": empty name\r\n",
            "X-Nul: a\0b\r\n", "Content-Type\r\n", "X-\xE4\xB8\xAD: 1\r\n", "Location: /elsewhere\r\n",
            "Content-Encoding: gzip\r\n", "X-CR: 1\r\r\n",
        };
        const char *line = rng.Pick(malformed);
        lines += strcmp(line, "X-Nul: a") == 0 ? std::string("X-Nul: a\0b\r\n", 12) : std::string(line);
    }
    return lines;
}

std::string Hex(uint64_t n, bool upper)
{
    char text[32];
    snprintf(text, sizeof text, upper ? "%llX" : "%llx", static_cast<unsigned long long>(n));
    return text;
}

// The payload in chunked framing, well made or broken in one of many ways.
std::string Chunked(Rng &rng, const std::string &payload, std::string *what)
{
    std::string framed;
    bool broken = rng.Percent(35);
    int flaw = broken ? static_cast<int>(rng.Below(7)) : -1;
    size_t at = 0;
    size_t pieces = 0;
    while (at < payload.size()) {
        size_t n = std::min<size_t>(payload.size() - at, rng.Between(1, 4000));
        std::string size = Hex(n, rng.Percent(50));
        if (rng.Percent(10))
            size = "000" + size;
        if (flaw == 0 && pieces == 0)
            size = rng.Percent(50) ? "zz" : "-" + size;  // not a size
        if (flaw == 1 && pieces == 0)
            size = "ffffffffffffffff";                  // far too large
        if (flaw == 2 && pieces == 0)
            size = Hex(n + rng.Between(1, 50), false);  // more than comes
        if (flaw == 3)
            size += ";ext=\"v\"";
        framed += size + "\r\n" + payload.substr(at, n);
        if (!(flaw == 4 && pieces == 0))
            framed += "\r\n";
        at += n;
        ++pieces;
    }
    if (flaw == 5) {
        // No final chunk: the end comes with the close, or never.
    } else if (flaw == 6) {
        framed += "0\r\nX-Trailer: 1\r\n\r\n";
    } else {
        framed += "0\r\n\r\n";
    }
    static const char *const flaws[] = {"bad-size", "huge-size", "short-chunk", "extension",
                                        "no-data-crlf", "no-final-chunk", "trailer"};
    *what += " chunked";
    if (flaw >= 0)
        *what += std::string(" ") + flaws[flaw];
    return framed;
}

// Name first, then `size` bytes in all, the rest generated as it is sent.
void MakeHuge(Rng &rng, FuzzCase *c)
{
    const uint64_t limit = static_cast<uint64_t>(FetchBodyLimit);
    const uint64_t sizes[] = {limit - 1, limit, limit + 1, limit + 100000, limit + 5 * 1048576ull,
                              limit - 20, 96ull << 20, 8ull << 20};
    uint64_t size = rng.Pick(sizes);
    std::string prefix = "{\"id\":1,\"name\":\"" + Name(rng) + "\",\"pad\":\"";
    uint64_t rest = size > prefix.size() ? size - prefix.size() : 0;
    static const char *const fillers[] = {"x", "\xE4\xB8\xAD", "\xE2\x82\xAC", "random"};
    std::string filler = rng.Pick(fillers);
    ReplySegment tail;
    if (filler == "random") {
        tail = SeededSegment(rest, rng.Next());
    } else {
        tail = GeneratedSegment(rest, [filler](uint64_t offset, char *out, size_t n) {
            for (size_t i = 0; i < n; ++i)
                out[i] = filler[(offset + i) % filler.size()];
        });
    }
    bool declared = rng.Percent(60);
    c->reply.head = std::string(rng.Percent(50) ? "HTTP/1.0 200 OK\r\n" : "HTTP/1.1 200 OK\r\n") +
        (declared ? "Content-Length: " + std::to_string(size) + "\r\n" : std::string()) +
        "Connection: close\r\n\r\n";
    c->reply.body = prefix;
    c->reply.segments.push_back(tail);
    c->huge = true;
    c->what = "huge " + std::to_string(size) + (declared ? " declared" : "") + " filler " +
        (filler == "random" ? filler : std::to_string(filler.size()) + "-byte");
}

FuzzCase MakeCase(uint32_t seed, uint32_t index)
{
    Rng rng{Mix((static_cast<uint64_t>(seed) << 32) | index)};
    FuzzCase c;
    if (rng.Percent(1)) {
        MakeHuge(rng, &c);
        return c;
    }

    std::string payload = Payload(rng);
    if (rng.Percent(4)) {
        // Large enough to need many reads, still held whole.
        payload += std::string(rng.Between(10000, 3000000), rng.Percent(50) ? 'y' : '\x80');
        c.what += " large";
    }
    std::string status = StatusLine(rng, &c.what);
    std::string headers = ExtraHeaders(rng, &c.what);
    std::string body;
    int framing = rng.Below(100);
    if (framing < 40) {
        headers += "Content-Length: " + std::to_string(payload.size()) + "\r\n";
        body = payload;
    } else if (framing < 62) {
        body = payload;
        c.what += " no-length";
    } else if (framing < 70) {
        // A declared length that is not the body's.
        size_t claimed = rng.Percent(50) ? rng.Below(static_cast<uint32_t>(payload.size() + 1))
                                         : payload.size() + rng.Between(1, 100000);
        headers += "Content-Length: " + std::to_string(claimed) + "\r\n";
        body = payload;
        c.what += " lying-length";
    } else if (framing < 80) {
        static const char *const lengths[] = {"-1", "abc", "", " 12 ", "0x10", "99999999999999999999",
                                              "2147483648", "4294967296", "1e3", "+5"};
        headers += std::string("Content-Length: ") + rng.Pick(lengths) + "\r\n";
        if (rng.Percent(40))
            headers += "Content-Length: " + std::to_string(payload.size()) + "\r\n";
        body = payload;
        c.what += " malformed-length";
    } else if (framing < 84) {
        headers += "Content-Length: " + std::to_string(payload.size()) + "\r\n";
        headers += "Content-Length: " + std::to_string(rng.Below(200)) + "\r\n";
        body = payload;
        c.what += " two-lengths";
    } else {
        static const char *const encodings[] = {"chunked", "chunked", "chunked", "Chunked", "gzip, chunked",
                                                "identity", "chunked, chunked", "bogus"};
        const char *encoding = rng.Pick(encodings);
        headers += std::string("Transfer-Encoding: ") + encoding + "\r\n";
        if (rng.Percent(10))
            headers += "Content-Length: " + std::to_string(payload.size()) + "\r\n";
        body = strstr(encoding, "hunked") ? Chunked(rng, payload, &c.what) : payload;
        // Chunked framing belongs to HTTP/1.1: mostly the reply says so.
        if (status.compare(0, 9, "HTTP/1.0 ") == 0 && rng.Percent(80))
            status[7] = '1';
    }
    c.reply.head = status + "\r\n" + headers + "\r\n";
    c.reply.body = body;

    uint64_t total = c.reply.head.size() + body.size();
    if (rng.Percent(8)) {
        c.reply.cutAt = rng.Below(static_cast<uint32_t>(std::min<uint64_t>(total + 1, UINT32_MAX)));
        c.what += " cut@" + std::to_string(c.reply.cutAt);
        if (rng.Percent(25)) {
            c.reply.resetAtEnd = true;
            c.timed = true;
            c.what += " reset";
        }
    }
    if (rng.Percent(4)) {
        c.timed = true;
        switch (rng.Below(5)) {
        case 0:
            c.reply.headByteIntervalMs = rng.Between(30, 300);
            c.what += " head-drip";
            break;
        case 1:
            c.reply.bodyByteIntervalMs = rng.Between(30, 300);
            c.what += " body-drip";
            break;
        case 2:
            c.reply = SilentReply();
            c.what += " silent";
            break;
        case 3:
            c.reply.holdOpen = true;
            c.what += " held-open";
            break;
        default:
            c.reply.delayMs = rng.Between(100, 2500);
            c.what += " delayed";
            break;
        }
    }
    if (rng.Percent(2) && !c.timed) {
        static const int redirects[] = {301, 302, 303, 307, 308};
        c.reply = SelfRedirectReply(rng.Pick(redirects));
        c.what = " self-redirect";
    }
    return c;
}

// ------------------------------------------------------------ the oracle

// The bytes of a reply as it was played: head, body, segments.
class ReplyBytes {
public:
    explicit ReplyBytes(const LoopbackReply &reply)
    {
        pieces_.push_back(Piece{&reply.head, nullptr, reply.head.size()});
        pieces_.push_back(Piece{&reply.body, nullptr, reply.body.size()});
        for (const ReplySegment &segment : reply.segments)
            pieces_.push_back(segment.source ? Piece{nullptr, &segment, segment.size}
                                             : Piece{&segment.bytes, nullptr, segment.bytes.size()});
    }
    // Bytes [offset, offset + n) of the whole reply, as far as it goes.
    std::string Read(uint64_t offset, size_t n) const
    {
        std::string out;
        uint64_t start = 0;
        for (const Piece &piece : pieces_) {
            uint64_t end = start + piece.size;
            if (offset < end && out.size() < n) {
                uint64_t from = offset > start ? offset - start : 0;
                size_t take = static_cast<size_t>(std::min<uint64_t>(piece.size - from, n - out.size()));
                if (piece.literal) {
                    out.append(*piece.literal, static_cast<size_t>(from), take);
                } else {
                    size_t old = out.size();
                    out.resize(old + take);
                    piece.generated->source(from, &out[old], take);
                }
                offset = start + from + take;
            }
            start = end;
        }
        return out;
    }

private:
    struct Piece {
        const std::string *literal;
        const ReplySegment *generated;
        uint64_t size;
    };
    std::vector<Piece> pieces_;
};

// The name as the lookup is meant to cut it, computed apart from the
// program's code: the UTF-8 body goes to code page 936 in pieces through
// the platform's own conversions (with the flags the program's reading of
// a reply prescribes: none from UTF-8, WC_COMPOSITECHECK into 936; how
// those treat invalid input is the platform's to define, so the platform is
// the reference for that step); the text ends at its first zero byte; the
// name is what lies between the first start marker and the next end
// marker, where neither may begin on the second byte of a two-byte
// character (lead bytes 0x81 to 0xFE).
//
// The pieces end before an ASCII byte: no UTF-8 sequence, valid or not,
// runs across such a point, and no combining mark follows it, so the
// pieces convert exactly as the whole would.
class NameOracle {
public:
    void Feed(const char *bytes, size_t n)
    {
        if (stopped_)
            return;
        pending_.append(bytes, n);
        if (pending_.size() < (1u << 20))
            return;
        size_t cut = pending_.size();
        while (cut > 1 && static_cast<unsigned char>(pending_[cut - 1]) >= 0x80)
            --cut;
        if (cut <= 1)
            return;  // no ASCII byte yet: keep gathering
        // Up to the last ASCII byte, which starts the next piece.
        --cut;
        Convert(pending_.data(), cut);
        pending_.erase(0, cut);
    }
    std::string Finish()
    {
        if (!pending_.empty())
            Convert(pending_.data(), pending_.size());
        pending_.clear();
        return found_ ? name_ : std::string();
    }

private:
    void Convert(const char *utf8, size_t n)
    {
        if (stopped_ || n == 0)
            return;
        int units = MultiByteToWideChar(CP_UTF8, 0, utf8, static_cast<int>(n), nullptr, 0);
        std::vector<wchar_t> wide(units > 0 ? units : 0);
        if (units > 0)
            MultiByteToWideChar(CP_UTF8, 0, utf8, static_cast<int>(n), wide.data(), units);
        int m = units > 0 ? WideCharToMultiByte(936, WC_COMPOSITECHECK, wide.data(), units, nullptr, 0, nullptr,
                                                nullptr)
                          : 0;
        std::string text(m > 0 ? m : 0, '\0');
        if (m > 0)
            WideCharToMultiByte(936, WC_COMPOSITECHECK, wide.data(), units, &text[0], m, nullptr, nullptr);
        for (char c : text) {
            if (c == '\0') {
                stopped_ = true;
                return;
            }
            Take(static_cast<unsigned char>(c));
            if (stopped_)
                return;
        }
    }
    // One byte of code page 936 text.
    void Take(unsigned char b)
    {
        bool startsCharacter = !inTrail_;
        inTrail_ = startsCharacter && b >= 0x81 && b <= 0xFE;
        if (!inName_) {
            Match(StartMarker, b, startsCharacter);
            if (matched_ == sizeof StartMarker - 1) {
                inName_ = true;
                matched_ = 0;
                // The search for the end starts afresh after the marker.
                inTrail_ = false;
            }
            return;
        }
        name_ += static_cast<char>(b);
        Match(EndMarker, b, startsCharacter);
        if (matched_ == sizeof EndMarker - 1) {
            name_.resize(name_.size() - matched_);
            found_ = true;
            stopped_ = true;
        }
    }
    // Markers are ASCII and have no repeated prefix worth tracking beyond
    // their first byte, so a plain prefix count does.
    void Match(const char *marker, unsigned char b, bool startsCharacter)
    {
        if (matched_ > 0 && b == static_cast<unsigned char>(marker[matched_])) {
            ++matched_;
            return;
        }
        matched_ = startsCharacter && b == static_cast<unsigned char>(marker[0]) ? 1 : 0;
    }

    std::string pending_;
    std::string name_;
    size_t matched_ = 0;
    bool inTrail_ = false;
    bool inName_ = false;
    bool found_ = false;
    bool stopped_ = false;
};

bool IEquals(const std::string &a, const char *b) { return _stricmp(a.c_str(), b) == 0; }

std::string Trim(const std::string &s)
{
    size_t from = s.find_first_not_of(" \t");
    size_t to = s.find_last_not_of(" \t");
    return from == std::string::npos ? std::string() : s.substr(from, to - from + 1);
}

// What the oracle makes of a case: whether the reply was complete, and if
// so the name it carries.
struct Expectation {
    bool complete = false;
    std::string why;  // when not complete
    std::string name;
    uint64_t bodyBytes = 0;
};

// A reply counts as complete when HTTP alone, not the client's tolerance
// of errors or the clock, fixes what its body is:
// - the head arrived whole: a status line "HTTP/1.0" or "HTTP/1.1", a
//   three-digit status that carries a body and is no redirection or
//   authentication request (200-203, 206, 400, 403, 404, 410, 418, 500,
//   503), a reason of printable ASCII; header lines "Name: value" of
//   printable ASCII, no longer than 4 KiB, of the few kinds the cases use
//   (Content-Type, Content-Length, Transfer-Encoding, Connection, Server,
//   Date, X-Fuzz);
// - its framing is either a single Content-Length of plain digits below
//   2^31 and no more body bytes than that (the body is that many bytes, or
//   fewer when the server closed sooner: a connection closed in order part
//   way gives the bytes that arrived; a body longer than declared is left
//   out, as Wine hands on the extra bytes that come in one read with the
//   head), or none at all (the body runs to the close), or, in HTTP/1.1
//   alone, Transfer-Encoding "chunked" alone with sizes of plain hex digits
//   (extensions after ";" allowed), every chunk's data and CR LF, the final
//   chunk, any trailer lines and the blank line all sent;
// - nothing was left to the clock: no drip, pause, stall, reset or
//   redirection.
// The body then counts up to the size limit.
Expectation Expect(const FuzzCase &c, const LoopbackServer::Sent &sent)
{
    Expectation e;
    if (c.timed || c.reply.redirectToSelf) {
        e.why = "timed";
        return e;
    }
    ReplyBytes bytes(c.reply);
    std::string start = bytes.Read(0, static_cast<size_t>(std::min<uint64_t>(sent.bytes, 1u << 21)));
    size_t headEnd = start.find("\r\n\r\n");
    if (headEnd == std::string::npos) {
        e.why = "no whole head";
        return e;
    }
    std::vector<std::string> lines;
    for (size_t at = 0; at < headEnd + 2;) {
        size_t end = start.find("\r\n", at);
        lines.push_back(start.substr(at, end - at));
        at = end + 2;
    }
    const std::string &status = lines[0];
    static const int bodied[] = {200, 201, 202, 203, 206, 400, 403, 404, 410, 418, 500, 503};
    bool statusOk = status.size() >= 12 && (status.compare(0, 9, "HTTP/1.0 ") == 0 || status.compare(0, 9, "HTTP/1.1 ") == 0) &&
        isdigit(static_cast<unsigned char>(status[9])) && isdigit(static_cast<unsigned char>(status[10])) &&
        isdigit(static_cast<unsigned char>(status[11])) && (status.size() == 12 || status[12] == ' ');
    int code = statusOk ? atoi(status.substr(9, 3).c_str()) : 0;
    statusOk = statusOk && std::find(std::begin(bodied), std::end(bodied), code) != std::end(bodied);
    for (char ch : status)
        statusOk = statusOk && ch >= 0x20 && ch <= 0x7E;
    if (!statusOk) {
        e.why = "status line";
        return e;
    }
    bool http11 = status[7] == '1';
    std::vector<std::string> lengths, encodings;
    static const char *const known[] = {"Content-Type", "Content-Length", "Transfer-Encoding", "Connection",
                                        "Server", "Date", "X-Fuzz"};
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string &line = lines[i];
        size_t colon = line.find(':');
        bool ok = colon != std::string::npos && colon > 0 && line.size() <= 4096;
        for (char ch : line)
            ok = ok && ch >= 0x20 && ch <= 0x7E;
        std::string name = ok ? line.substr(0, colon) : std::string();
        ok = ok && std::any_of(std::begin(known), std::end(known), [&](const char *k) { return IEquals(name, k); });
        if (!ok) {
            e.why = "header line";
            return e;
        }
        std::string value = Trim(line.substr(colon + 1));
        if (IEquals(name, "Content-Length"))
            lengths.push_back(value);
        if (IEquals(name, "Transfer-Encoding"))
            encodings.push_back(value);
    }

    uint64_t bodyStart = headEnd + 4;
    uint64_t available = sent.bytes - bodyStart;
    const uint64_t limit = static_cast<uint64_t>(FetchBodyLimit);
    NameOracle oracle;
    if (encodings.empty()) {
        uint64_t n = available;
        if (lengths.size() > 1) {
            e.why = "two lengths";
            return e;
        }
        if (lengths.size() == 1) {
            const std::string &v = lengths[0];
            bool digits = !v.empty() && v.size() <= 10 && v.find_first_not_of("0123456789") == std::string::npos;
            if (!digits || std::stoull(v) > INT32_MAX) {
                e.why = "length";
                return e;
            }
            // Under Wine, body bytes that come in one read with the head
            // are handed on past the declared length: what the client gets
            // of a longer body depends on how the bytes travelled.
            if (available > std::stoull(v)) {
                e.why = "longer than declared";
                return e;
            }
            n = std::min<uint64_t>(n, std::stoull(v));
        }
        n = std::min(n, limit);
        e.bodyBytes = n;
        for (uint64_t at = 0; at < n;) {
            size_t step = static_cast<size_t>(std::min<uint64_t>(n - at, 1u << 20));
            std::string piece = bytes.Read(bodyStart + at, step);
            oracle.Feed(piece.data(), piece.size());
            at += step;
        }
    } else {
        if (encodings.size() != 1 || !IEquals(encodings[0], "chunked") || !lengths.empty() || !http11) {
            e.why = "encoding";
            return e;
        }
        if (!sent.whole) {
            e.why = "chunked and cut";
            return e;
        }
        std::string framed = bytes.Read(bodyStart, static_cast<size_t>(available));
        std::string body;
        size_t at = 0;
        for (;;) {
            size_t lineEnd = framed.find("\r\n", at);
            std::string size = lineEnd == std::string::npos ? std::string() : framed.substr(at, lineEnd - at);
            // A chunk extension is the client's to ignore.
            size = size.substr(0, size.find(';'));
            if (size.empty() || size.size() > 7 || size.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                e.why = "chunk size";
                return e;
            }
            size_t n = strtoul(size.c_str(), nullptr, 16);
            at = lineEnd + 2;
            if (n == 0) {
                // Trailer lines, if any, then the blank line.
                size_t end = framed.find("\r\n\r\n", at >= 2 ? at - 2 : at);
                if (end == std::string::npos || end + 4 != framed.size()) {
                    e.why = "chunked end";
                    return e;
                }
                break;
            }
            if (at + n + 2 > framed.size() || framed.compare(at + n, 2, "\r\n") != 0) {
                e.why = "chunk data";
                return e;
            }
            body.append(framed, at, n);
            at += n + 2;
        }
        body.resize(std::min<size_t>(body.size(), static_cast<size_t>(limit)));
        e.bodyBytes = body.size();
        oracle.Feed(body.data(), body.size());
    }
    e.complete = true;
    e.name = oracle.Finish();
    return e;
}

std::string Printable(const std::string &bytes)
{
    std::string out;
    for (unsigned char b : bytes.substr(0, 200)) {
        char hex[8];
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            out += static_cast<char>(b);
        } else {
            snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}


// ------------------------------------------------------------ the helpers

class ScriptedReplies : public WinsockUser {
protected:
    void SetUp() override
    {
        WinsockUser::SetUp();
        server_.reset(new LoopbackServer);
        ASSERT_NE(server_->Port(), 0);
    }
    void TearDown() override
    {
        server_.reset();
        WinsockUser::TearDown();
    }
    std::string Get(const std::string &target) { return Exchange(server_->Port(), "GET " + target + " HTTP/1.0\r\n\r\n"); }
    std::unique_ptr<LoopbackServer> server_;
};

TEST_F(ScriptedReplies, SegmentsAreMadeAsTheyAreSentAndTheCutFallsOnItsByte)
{
    LoopbackReply reply = OkReply("ab");
    reply.segments.push_back(FillerSegment(100000, 'z'));
    reply.segments.push_back(SeededSegment(70000, 7));
    reply.segments.push_back(LiteralSegment("end"));
    std::string whole = reply.head + "ab" + std::string(100000, 'z');
    for (uint64_t i = 0; i < 70000; ++i)
        whole += static_cast<char>(SeededByte(7, i));
    whole += "end";
    ASSERT_EQ(ReplyBytes(reply).Read(0, whole.size() + 10), whole) << "the oracle reads the reply as sent";

    struct Case {
        const char *what;
        int64_t cutAt;
        size_t expected;
    } cases[] = {
        {"whole", -1, whole.size()},
        {"cut in the head", 5, 5},
        {"cut in a generated segment", static_cast<int64_t>(reply.head.size() + 50000), reply.head.size() + 50000},
        {"cut at the last byte", static_cast<int64_t>(whole.size() - 1), whole.size() - 1},
        {"cut at nothing", 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        LoopbackReply cut = reply;
        cut.cutAt = c.cutAt;
        server_->ClearRequests();
        server_->SetReply(cut);
        std::string got = Get("/x");
        EXPECT_TRUE(got == whole.substr(0, c.expected)) << got.size() << " bytes";
        ASSERT_TRUE(server_->WaitForReplies(5000));
        std::vector<LoopbackServer::Sent> sent = server_->Replies();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].bytes, c.expected);
        EXPECT_EQ(sent[0].whole, c.cutAt < 0);
    }
    // Different seeds, different bytes.
    EXPECT_NE(SeededByte(7, 0) + 256 * SeededByte(7, 1), SeededByte(8, 0) + 256 * SeededByte(8, 1));
}

TEST_F(ScriptedReplies, DripsKeepTheirPaceAndALoopPointsAtItself)
{
    LoopbackReply drip = OkReply("hello");
    drip.headByteIntervalMs = 0;
    drip.bodyByteIntervalMs = 100;
    LoopbackReply headDrip;
    headDrip.head = "HTTP/1.0 200 OK\r\n";
    headDrip.segments.push_back(LiteralSegment("X: 1\r\n\r\n", 60));
    server_->SetReplyFor("/drip", drip);
    server_->SetReplyFor("/head", headDrip);
    server_->SetReplyFor("/loop/a?b", SelfRedirectReply(307));

    DWORD start = GetTickCount();
    EXPECT_EQ(Get("/drip"), drip.head + "hello");
    EXPECT_GE(GetTickCount() - start, 480u) << "five bytes, 100 ms before each";
    start = GetTickCount();
    EXPECT_EQ(Get("/head"), "HTTP/1.0 200 OK\r\nX: 1\r\n\r\n");
    EXPECT_GE(GetTickCount() - start, 8 * 60u - 20) << "eight bytes, 60 ms before each";
    EXPECT_EQ(Get("/loop/a?b"), "HTTP/1.0 307 Temporary Redirect\r\nLocation: /loop/a?b\r\nContent-Length: 0\r\n\r\n");
}

// The oracle against replies whose name is known.
TEST(FuzzOracle, ReadsCompleteRepliesAndSaysWhichAreNot)
{
    auto chunked = [](const std::string &framing) {
        return HttpReply("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n", framing);
    };
    std::string wide = std::string(1500000, 'x') + "\xE4\xB8\xAD\"name\":\"" + std::string(1200000, '\x80') + "z\",";
    struct Case {
        const char *what;
        LoopbackReply reply;
        bool complete;
        std::string name;
    } cases[] = {
        {"plain", OkReply("{\"name\":\"abc\",}"), true, "abc"},
        {"euro sign is one byte", OkReply("{\"name\":\"a\xE2\x82\xAC\",}"), true, "a\x80"},
        {"chinese", ReplyWithoutLength("{\"name\":\"\xE4\xB8\xAD\",}"), true, "\xD6\xD0"},
        {"a zero byte ends the text", OkReply("{\"name\":\"a\0b\",}"), true, ""},
        {"longer than declared", ReplyDeclaring(12, "{\"name\":\"abc\",}"), false, ""},
        {"declared longer than sent", ReplyDeclaring(500, "{\"name\":\"abc\",}"), true, "abc"},
        {"chunked", chunked("5\r\n{\"nam\r\n8\r\ne\":\"ab\",\r\n0\r\n\r\n"), true, "ab"},
        {"chunked without final chunk", chunked("5\r\n{\"nam\r\n"), false, ""},
        {"chunked with an extension and a trailer",
         chunked("3;x=y\r\nabc\r\n11\r\n\"name\":\"ab\",\"x\":1\r\n0\r\nX-T: 1\r\n\r\n"), true, "ab"},
        {"chunked, the final chunk unfinished", chunked("3\r\nabc\r\n0\r\n"), false, ""},
        {"two lengths", HttpReply("HTTP/1.0 200 OK", "Content-Length: 3\r\nContent-Length: 3\r\n", "abc"), false,
         ""},
        {"a redirection", RedirectReply("/x"), false, ""},
        {"pieces of more than a mebibyte", ReplyWithoutLength(wide), true, std::string(1200000, '?') + "z"},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.what);
        FuzzCase fuzz;
        fuzz.reply = c.reply;
        LoopbackServer::Sent sent;
        sent.bytes = c.reply.head.size() + c.reply.body.size();
        sent.whole = sent.over = true;
        Expectation e = Expect(fuzz, sent);
        EXPECT_EQ(e.complete, c.complete) << e.why;
        EXPECT_TRUE(e.name == c.name) << Printable(e.name);
    }
}

// ------------------------------------------------------------ one batch

// Runs cases first .. first+count-1 in this process and reports each on
// its own line of standard output:
//     case I ok|unchecked|mismatch|leak|late MS [details]
// and "batch done" at the end. A case's line is written and flushed before
// the next one starts, so a crash is tied to the case after the last line.
int RunBatch(uint32_t seed, uint32_t first, uint32_t count)
{
    LoopbackServer server;
    if (!server.Port()) {
        printf("batch failed: no server\n");
        return 2;
    }
    for (uint32_t index = first; index < first + count; ++index) {
        FuzzCase c = MakeCase(seed, index);
        if (getenv("FUZZ_TRACE"))
            fprintf(stderr, "case %u:%s; head \"%s\" body %zu bytes \"%s\"\n", index, c.what.c_str(),
                    Printable(c.reply.head).c_str(), c.reply.body.size(), Printable(c.reply.body).c_str());
        std::string target = "/fuzz/" + std::to_string(index);
        server.ClearRequests();
        server.SetReplyFor(target, c.reply);
        FetchDeadlineMs = c.huge ? HugeCaseDeadlineMs : CaseDeadlineMs;
        FetchTimeoutMs = CaseTimeoutMs;
        std::string url = server.Url(target);

        int32_t live = LiveBlockCount();
        DWORD start = GetTickCount();
        std::string got;
        DWORD elapsed;
        int32_t bodyBytes;
        {
            UniqueBuffer body(FetchUrl(url.c_str()));
            elapsed = GetTickCount() - start;
            bodyBytes = BufferLength(body.get());
            UniqueText text(Utf8ToAnsi(body.get()));
            UniqueText name(TextBetween(text.get(), NameStartMarker(), NameEndMarker()));
            got = name.get() ? name.get() : "";
        }
        int32_t leaked = LiveBlockCount() - live;

        // What arrived of a timed reply is the clock's, not checked: no
        // need to wait out a server that is still pausing.
        if (!c.timed)
            server.WaitForReplies(3000);
        // The reply read is the one on the last connection that asked for
        // this case's target. WinINet now and then sends the same GET again
        // on a fresh connection (seen once in thousands of cases on a loaded
        // machine), and an abandoned fetch of an earlier case may still
        // connect meanwhile; neither is a fault.
        std::vector<std::string> requests = server.Requests();
        std::vector<LoopbackServer::Sent> replies = server.Replies();
        std::string requestLine = "GET " + target + " ";
        LoopbackServer::Sent sent;
        size_t connections = 0;
        for (size_t i = 0; i < replies.size() && i < requests.size(); ++i)
            if (requests[i].compare(0, requestLine.size(), requestLine) == 0) {
                sent = replies[i];
                ++connections;
            }
        Expectation expected = Expect(c, sent);
        bool ranOut = elapsed + 50 >= FetchDeadlineMs;
        const char *verdict = "ok";
        std::string detail;
        if (elapsed > FetchDeadlineMs + DeadlineSlackMs) {
            verdict = "late";
            detail = "deadline " + std::to_string(FetchDeadlineMs);
        } else if (leaked != 0) {
            verdict = "leak";
            detail = std::to_string(leaked) + " blocks";
        } else if (expected.complete && ranOut && c.huge) {
            // Too slow a machine for the body: what arrived is the clock's.
            verdict = "unchecked";
            detail = "deadline";
        } else if (expected.complete && (ranOut || got != expected.name)) {
            verdict = "mismatch";
            detail = "got \"" + Printable(got) + "\" expected \"" + Printable(expected.name) + "\", body " +
                std::to_string(bodyBytes) + " bytes, expected " + std::to_string(expected.bodyBytes) + ", connections " +
                std::to_string(connections) + (ranOut ? ", ran into the deadline" : "");
        } else if (!expected.complete) {
            verdict = "unchecked";
            detail = expected.why;
        } else if (connections != 1) {
            detail = "connections " + std::to_string(connections);
        }
        printf("case %u %s %lu %s |%s\n", index, verdict, elapsed, detail.c_str(), c.what.c_str());
        fflush(stdout);
        // Keeps the per-target replies from piling up over a batch.
        server.SetReplyFor(target, LoopbackReply());
    }
    printf("batch done\n");
    fflush(stdout);
    return 0;
}

// ------------------------------------------------------------ the campaign

struct Tally {
    uint32_t cases = 0, crashes = 0, leaks = 0, mismatches = 0, late = 0, checked = 0;
    DWORD slowest = 0;
    std::vector<std::string> failures;
};

// Runs the batch in a child process and reads its report line by line;
// returns the index after the last case that was reported.
uint32_t RunChildBatch(uint32_t seed, uint32_t first, uint32_t count, Tally *tally)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return first;
    UniqueHandle reader(readEnd), writer(writeEnd);
    SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);

    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(exe) + L"\" --fuzz-batch " + std::to_wstring(seed) + L" " +
        std::to_wstring(first) + L" " + std::to_wstring(count);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer.get();
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(exe, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        tally->failures.push_back("cannot start a batch");
        return first;
    }
    UniqueHandle process(info.hProcess), thread(info.hThread);
    writer.reset();

    uint32_t next = first;
    bool done = false;
    std::string pending;
    DWORD lastNews = GetTickCount();
    for (;;) {
        DWORD available = 0;
        bool open = PeekNamedPipe(reader.get(), nullptr, 0, nullptr, &available, nullptr) != 0;
        if (available > 0) {
            char buffer[4096];
            DWORD got = 0;
            if (ReadFile(reader.get(), buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr))
                pending.append(buffer, got);
            lastNews = GetTickCount();
            for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
                std::string line = pending.substr(0, end);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                unsigned index = 0;
                char verdict[16] = "";
                unsigned long ms = 0;
                if (line == "batch done") {
                    done = true;
                } else if (sscanf(line.c_str(), "case %u %15s %lu", &index, verdict, &ms) == 3) {
                    ++tally->cases;
                    next = index + 1;
                    tally->slowest = std::max<DWORD>(tally->slowest, ms);
                    std::string v = verdict;
                    tally->checked += v == "ok" || v == "mismatch";
                    if (v == "leak" || v == "mismatch" || v == "late") {
                        (v == "leak" ? tally->leaks : v == "late" ? tally->late : tally->mismatches) += 1;
                        tally->failures.push_back(line);
                    }
                } else {
                    tally->failures.push_back("batch: " + line);
                }
            }
            continue;
        }
        if (!open || WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) {
            // Whatever it wrote before it ended is read first.
            DWORD left = 0;
            if (PeekNamedPipe(reader.get(), nullptr, 0, nullptr, &left, nullptr) && left > 0)
                continue;
            break;
        }
        if (GetTickCount() - lastNews > BatchSilenceMs) {
            TerminateProcess(process.get(), 3);
            WaitForSingleObject(process.get(), 10000);
            tally->slowest = std::max<DWORD>(tally->slowest, GetTickCount() - lastNews);
            tally->failures.push_back("case " + std::to_string(next) + " never ended");
            return next + 1;
        }
        Sleep(10);
    }
    WaitForSingleObject(process.get(), 10000);
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    if (!done || code != 0) {
        if (next < first + count) {
            ++tally->crashes;
            ++tally->cases;
            char text[160];
            snprintf(text, sizeof text, "case %u crashed the batch (exit code 0x%lX); rerun: --fuzz-batch %u %u 1",
                     next, code, seed, next);
            tally->failures.push_back(text);
            return next + 1;
        }
    }
    return next;
}

uint32_t EnvironmentNumber(const char *name, uint32_t fallback)
{
    const char *text = getenv(name);
    return text && *text ? static_cast<uint32_t>(strtoul(text, nullptr, 10)) : fallback;
}

TEST(FuzzCampaign, NoCrashLeakOrMismatchAndEveryFetchWithinItsDeadline)
{
    uint32_t cases = EnvironmentNumber("FUZZ_CASES", DefaultCases);
    uint32_t seed = EnvironmentNumber("FUZZ_SEED", DefaultSeed);
    Tally tally;
    for (uint32_t next = 0; next < cases;) {
        uint32_t count = std::min<uint32_t>(BatchSize, cases - next);
        uint32_t after = RunChildBatch(seed, next, count, &tally);
        ASSERT_GT(after, next) << "a batch made no progress at case " << next;
        next = after;
    }
    printf("fuzz: cases %u, crashes %u, leaks %u, mismatches %u, slowest fetch %lu ms, seed %u\n", tally.cases,
           tally.crashes, tally.leaks, tally.mismatches, tally.slowest, seed);
    fflush(stdout);
    for (const std::string &failure : tally.failures)
        ADD_FAILURE() << failure;
    EXPECT_EQ(tally.cases, cases);
    EXPECT_EQ(tally.crashes, 0u);
    EXPECT_EQ(tally.leaks, 0u);
    EXPECT_EQ(tally.mismatches, 0u);
    EXPECT_EQ(tally.late, 0u) << "fetches that outlasted their deadline by more than " << DeadlineSlackMs << " ms";
    // The oracle must have had something to say.
    EXPECT_GE(tally.checked, tally.cases / 3) << "too few complete replies to check";
    RecordProperty("checked", static_cast<int>(tally.checked));
}

} // namespace

int main(int argc, char **argv)
{
    RegisterLiteralConstants();
    if (argc == 5 && strcmp(argv[1], "--fuzz-batch") == 0) {
        // A crash must end the child at once, without a debugger or a box.
        SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
        return RunBatch(static_cast<uint32_t>(strtoul(argv[2], nullptr, 10)),
                        static_cast<uint32_t>(strtoul(argv[3], nullptr, 10)),
                        static_cast<uint32_t>(strtoul(argv[4], nullptr, 10)));
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
