#include "platform/proxy_settings.h"

#include <cctype>
#include <vector>

namespace {

constexpr std::string_view separators = "; \t\r\n";
constexpr std::string_view scheme_end = "://";
// What Windows assumes; libcurl would take 1080.
constexpr std::string_view default_proxy_port = "80";

struct url_parts {
    std::string scheme; // lower case
    std::string host;   // lower case, an IPv6 address without its brackets
    std::string port;   // as written, or the scheme's default
};

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return out;
}

std::vector<std::string_view> entries(std::string_view list) {
    std::vector<std::string_view> out;
    for (size_t at = 0; at < list.size();) {
        size_t end = list.find_first_of(separators, at);
        if (end == std::string_view::npos)
            end = list.size();
        if (end > at)
            out.push_back(list.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

url_parts parse_url(std::string_view url) {
    url_parts parts;
    size_t colon = url.find(scheme_end);
    if (colon != std::string_view::npos) {
        parts.scheme = lower(url.substr(0, colon));
        url.remove_prefix(colon + scheme_end.size());
    }
    url = url.substr(0, url.find_first_of("/?#"));
    url = url.substr(url.find('@') + 1); // user information, if any, names no host
    size_t port_at = std::string_view::npos;
    if (url.starts_with('[')) {
        size_t close = url.find(']');
        parts.host = lower(
            url.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
        if (close != std::string_view::npos && close + 1 < url.size() && url[close + 1] == ':')
            port_at = close + 1;
    } else {
        port_at = url.find(':');
        parts.host = lower(url.substr(0, port_at));
    }
    if (port_at != std::string_view::npos)
        parts.port = url.substr(port_at + 1);
    else
        parts.port = parts.scheme == "https" ? "443" : "80";
    return parts;
}

// Whether `text` matches `pattern`, in which '*' stands for any run of characters.
bool wildcard_match(std::string_view pattern, std::string_view text) {
    size_t p = 0;
    size_t t = 0;
    size_t star = std::string_view::npos;
    size_t resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool is_loopback(const std::string& host) {
    return host == "localhost" || host.starts_with("127.") || host == "::1";
}

// Whether one entry of the bypass list names the URL's server.
bool bypass_entry_matches(std::string pattern, const url_parts& url) {
    if (pattern == "<local>")
        return url.host.find_first_of(".:") == std::string::npos;
    if (size_t at = pattern.find(scheme_end); at != std::string::npos) {
        if (pattern.substr(0, at) != url.scheme)
            return false;
        pattern.erase(0, at + scheme_end.size());
    }
    // A port after the last ':' (not one inside an IPv6 address: those have brackets or more ':').
    size_t colon = pattern.rfind(':');
    bool has_port = colon != std::string::npos && pattern.find(':') == colon &&
                    colon + 1 < pattern.size() &&
                    pattern.find_first_not_of("0123456789", colon + 1) == std::string::npos;
    if (has_port) {
        if (pattern.substr(colon + 1) != url.port)
            return false;
        pattern.erase(colon);
    }
    if (pattern.starts_with('[') && pattern.ends_with(']'))
        pattern = pattern.substr(1, pattern.size() - 2);
    return wildcard_match(pattern, url.host);
}

bool bypassed(std::string_view bypass, const url_parts& url) {
    bool loopback_too = false;
    for (std::string_view entry : entries(bypass)) {
        std::string pattern = lower(entry);
        if (pattern == "<-loopback>")
            loopback_too = true;
        else if (bypass_entry_matches(pattern, url))
            return true;
    }
    return is_loopback(url.host) && !loopback_too;
}

// "host[:port]" (an "http://" before it allowed) as libcurl takes it, with the port Windows
// assumes.
std::string curl_proxy(std::string_view address, std::string_view scheme) {
    if (address.starts_with("http://"))
        address.remove_prefix(std::string_view("http://").size());
    std::string out(scheme);
    out.append(scheme_end).append(address);
    size_t host_end = address.starts_with('[') ? address.find(']') : 0;
    bool has_port =
        host_end != std::string_view::npos && address.find(':', host_end) != std::string_view::npos;
    if (!has_port && scheme == "http")
        out.append(":").append(default_proxy_port);
    return out;
}

} // namespace

std::string proxy_for_url(std::string_view url, std::string_view proxies, std::string_view bypass) {
    url_parts parts = parse_url(url);
    if (parts.host.empty() || bypassed(bypass, parts))
        return "";
    // For the URL's scheme: its own entry, else one for every scheme, else a SOCKS server
    // (Windows speaks SOCKS 4 to it).
    std::string own = parts.scheme + "=";
    std::string_view for_all;
    std::string_view socks;
    for (std::string_view entry : entries(proxies)) {
        std::string folded = lower(entry);
        if (folded.starts_with(own))
            return curl_proxy(entry.substr(own.size()), "http");
        if (folded.starts_with("socks=") && socks.empty())
            socks = entry.substr(std::string_view("socks=").size());
        else if (folded.find('=') == std::string::npos && for_all.empty())
            for_all = entry;
    }
    if (!for_all.empty()) // an automatic configuration's "DIRECT" first: no proxy
        return lower(for_all) == "direct" ? "" : curl_proxy(for_all, "http");
    if (!socks.empty())
        return curl_proxy(socks, "socks4");
    return "";
}
