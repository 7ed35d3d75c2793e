#include "platform/proxy_settings.h"

#include "test_util.h"

// (URL, the system's proxy list, its bypass list, the proxy libcurl gets; empty: straight to the server).
TEST(ProxySettings, ProxyForUrl) {
    constexpr const char* url = "https://updates.example.com/windows/x.zs?abc";
    const char* const rows[][4] = {
        {url, "", "", ""}, {url, "proxy:3128", "", "http://proxy:3128"}, {url, "proxy", "", "http://proxy:80"},
        {url, "http://proxy:8080", "", "http://proxy:8080"}, {url, "[fd00::1]", "", "http://[fd00::1]:80"},
        {url, "http=web:80;https=secure:8443", "", "http://secure:8443"}, {url, "HTTPS=secure:1 ftp=f:2", "", "http://secure:1"},
        {url, "http=web:80", "", ""}, {url, "http=web:80;socks=sock:1080", "", "socks4://sock:1080"},
        {url, "socks=sock;all:3128", "", "http://all:3128"}, {url, "DIRECT;other:1", "", ""}, {url, "first:1;second:2", "", "http://first:1"},
        {url, "p:1", "*.example.com", ""}, {url, "p:1", "*.EXAMPLE.com", ""}, {url, "p:1", "example.com", "http://p:1"},
        {url, "p:1", "intranet; updates.*.com ;x", ""}, {url, "p:1", "<local>", "http://p:1"}, {url, "p:1", "https://updates*", ""},
        {url, "p:1", "http://updates*", "http://p:1"}, {url, "p:1", "updates.example.com:443", ""},
        {url, "p:1", "updates.example.com:8443", "http://p:1"}, {"https://intranet/x", "p:1", "<local>", ""},
        {"https://10.1.2.3:4443/w/", "p:1", "10.*", ""}, {"https://10.1.2.3/", "p:1", "10.*.9", "http://p:1"},
        {"https://localhost:4443/w/", "p:1", "", ""}, {"https://127.0.0.1/", "p:1", "", ""}, {"https://[::1]:4443/", "p:1", "", ""},
        {"https://[::1]:4443/", "p:1", "<local>", ""}, {"https://localhost:4443/w/", "p:1", "<-loopback>", "http://p:1"},
        {"https://user@Host.Example:1/", "p:1", "host.example", ""}, {"https://[fd00::2]:1/", "p:1", "[fd00::2]", ""},
        {"https://a.b/", "p:1", "*", ""}};
    for (const auto& [target, proxies, bypass, expected] : rows)
        EXPECT_EQ(proxy_for_url(target, proxies, bypass), expected) << target << " | " << proxies << " | " << bypass;
}
