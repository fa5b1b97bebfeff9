#include "Punycode.h"

#include <vector>

namespace quilblock {

namespace {

constexpr unsigned kBase = 36, kTMin = 1, kTMax = 26, kSkew = 38, kDamp = 700;
constexpr unsigned kInitialBias = 72, kInitialN = 128;

bool decodeUtf8(std::string_view in, std::vector<char32_t>& out)
{
    for (size_t i = 0; i < in.size();) {
        auto c = static_cast<unsigned char>(in[i]);
        int extra;
        char32_t cp;
        if (c < 0x80) {
            cp = c;
            extra = 0;
        } else if ((c & 0xe0) == 0xc0) {
            cp = c & 0x1f;
            extra = 1;
        } else if ((c & 0xf0) == 0xe0) {
            cp = c & 0x0f;
            extra = 2;
        } else if ((c & 0xf8) == 0xf0) {
            cp = c & 0x07;
            extra = 3;
        } else {
            return false;
        }
        for (int k = 1; k <= extra; ++k) {
            if (i + k >= in.size())
                return false;
            auto cc = static_cast<unsigned char>(in[i + k]);
            if ((cc & 0xc0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3f);
        }
        static constexpr char32_t minForLength[] = {0, 0x80, 0x800, 0x10000};
        if (cp < minForLength[extra] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
            return false;
        out.push_back(cp);
        i += extra + 1;
    }
    return true;
}

unsigned adapt(unsigned delta, unsigned numPoints, bool first)
{
    delta = first ? delta / kDamp : delta / 2;
    delta += delta / numPoints;
    unsigned k = 0;
    while (delta > ((kBase - kTMin) * kTMax) / 2) {
        delta /= kBase - kTMin;
        k += kBase;
    }
    return k + (kBase - kTMin + 1) * delta / (delta + kSkew);
}

char digit(unsigned d)
{
    return static_cast<char>(d < 26 ? 'a' + d : '0' + (d - 26));
}

} // namespace

std::optional<std::string> punycodeEncode(std::string_view utf8Label)
{
    std::vector<char32_t> input;
    if (!decodeUtf8(utf8Label, input))
        return std::nullopt;

    std::string out;
    for (char32_t c : input) {
        if (c < 0x80)
            out += static_cast<char>(c);
    }
    const unsigned basic = static_cast<unsigned>(out.size());
    if (basic > 0)
        out += '-';

    unsigned n = kInitialN, delta = 0, bias = kInitialBias, handled = basic;
    while (handled < input.size()) {
        char32_t m = 0x10ffff + 1;
        for (char32_t c : input) {
            if (c >= n && c < m)
                m = c;
        }
        delta += (m - n) * (handled + 1);
        n = m;
        for (char32_t c : input) {
            if (c < n)
                ++delta;
            if (c != n)
                continue;
            unsigned q = delta;
            for (unsigned k = kBase;; k += kBase) {
                unsigned t = k <= bias ? kTMin : (k >= bias + kTMax ? kTMax : k - bias);
                if (q < t)
                    break;
                out += digit(t + (q - t) % (kBase - t));
                q = (q - t) / (kBase - t);
            }
            out += digit(q);
            bias = adapt(delta, handled + 1, handled == basic);
            delta = 0;
            ++handled;
        }
        ++delta;
        ++n;
    }
    return out;
}

std::optional<std::string> hostToAscii(std::string_view host)
{
    std::string out;
    out.reserve(host.size());
    size_t start = 0;
    while (start <= host.size()) {
        size_t dot = host.find('.', start);
        if (dot == std::string_view::npos)
            dot = host.size();
        std::string_view label = host.substr(start, dot - start);
        bool ascii = true;
        for (char c : label) {
            if (static_cast<unsigned char>(c) >= 0x80)
                ascii = false;
        }
        if (ascii) {
            for (char c : label) {
                char l = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
                bool ok = (l >= 'a' && l <= 'z') || (l >= '0' && l <= '9') || l == '-' || l == '_';
                if (!ok)
                    return std::nullopt;
                out += l;
            }
        } else {
            std::string lowered;
            for (char c : label)
                lowered += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
            auto encoded = punycodeEncode(lowered);
            if (!encoded)
                return std::nullopt;
            out += "xn--";
            out += *encoded;
        }
        if (dot == host.size())
            break;
        out += '.';
        start = dot + 1;
    }
    return out;
}

} // namespace quilblock
