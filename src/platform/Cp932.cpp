// SPDX-License-Identifier: MIT
#include "Cp932.h"

#include <cerrno>
#include <iconv.h>

namespace platform
{
namespace
{

// glibc's "SHIFT_JIS" lacks the Microsoft additions (～, ①, the NEC and IBM rows) that files
// written on Windows contain; "CP932" is the code page those files were written in.
constexpr const char *kCp932 = "CP932";
constexpr const char *kUtf8 = "UTF-8";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD"; // U+FFFD

// An iconv_t keeps conversion state and must not be shared between threads, so every thread
// opens its own pair on first use and keeps it for its lifetime.
class Converter
{
  public:
    Converter(const char *to, const char *from) : m_cd(::iconv_open(to, from)) {}
    ~Converter()
    {
        if (valid())
            ::iconv_close(m_cd);
    }
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;

    bool valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    // One iconv call from *in to out; returns 0 or the errno of the stop.
    int run(const char **in, std::size_t *inLeft, std::string &out)
    {
        char *inPtr = const_cast<char *>(*in);
        for (;;) {
            const std::size_t used = out.size();
            // CP932 -> UTF-8 grows a byte to at most three; UTF-8 -> CP932 never grows.
            out.resize(used + *inLeft * 3 + 16);
            char *outPtr = out.data() + used;
            std::size_t outLeft = out.size() - used;
            const std::size_t r = ::iconv(m_cd, &inPtr, inLeft, &outPtr, &outLeft);
            const int err = r == static_cast<std::size_t>(-1) ? errno : 0;
            out.resize(static_cast<std::size_t>(outPtr - out.data()));
            *in = inPtr;
            if (err != E2BIG)
                return err;
        }
    }

    void reset() { ::iconv(m_cd, nullptr, nullptr, nullptr, nullptr); }

  private:
    iconv_t m_cd;
};

Converter &Decoder()
{
    thread_local Converter c(kUtf8, kCp932);
    return c;
}

Converter &Encoder()
{
    thread_local Converter c(kCp932, kUtf8);
    return c;
}

bool IsAscii(std::string_view s)
{
    for (const char ch : s) {
        if (static_cast<unsigned char>(ch) >= 0x80)
            return false;
    }
    return true;
}

// Decodes `bytes`; returns how many bytes at the end form an incomplete character (0 or 1).
std::size_t DecodeInto(std::string_view bytes, std::string &out)
{
    if (IsAscii(bytes)) {
        out.append(bytes);
        return 0;
    }
    Converter &c = Decoder();
    if (!c.valid()) {
        // Without the converter show the text bytes we can vouch for and mark the rest.
        for (const char ch : bytes) {
            if (static_cast<unsigned char>(ch) < 0x80)
                out.push_back(ch);
            else
                out.append(kReplacement);
        }
        return 0;
    }
    c.reset();
    const char *in = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const int err = c.run(&in, &left, out);
        if (err == 0)
            break;
        if (err == EINVAL)
            return left; // a lead byte whose trail byte has not come (yet)
        // EILSEQ (or anything unexpected): one byte is no character; mark it and go on with the
        // next byte so that a stray byte never swallows the valid character after it.
        out.append(kReplacement);
        ++in;
        --left;
        c.reset();
    }
    return 0;
}

} // namespace

std::string Cp932ToUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    if (DecodeInto(bytes, out) > 0)
        out.append(kReplacement);
    return out;
}

std::optional<std::string> Utf8ToCp932(std::string_view utf8)
{
    if (IsAscii(utf8))
        return std::string(utf8);
    Converter &c = Encoder();
    if (!c.valid())
        return std::nullopt;
    c.reset();
    std::string out;
    out.reserve(utf8.size());
    const char *in = utf8.data();
    std::size_t left = utf8.size();
    if (c.run(&in, &left, out) != 0 || left != 0)
        return std::nullopt;
    return out;
}

} // namespace platform
