// proxy_settings: how the proxy settings of Windows apply to one URL. Plain text work, built on
// every system so that its tests run anywhere; platform_win32.cpp feeds it what the system says.
#pragma once
#include <string>
#include <string_view>

// The proxy for `url` ("scheme://host[:port]/..."), as libcurl takes it ("http://host:port",
// "socks4://host:port"), or empty when the request goes straight to the server. `proxies` is the
// system's proxy list: entries "host[:port]" for every scheme or "scheme=host[:port]" for one,
// separated by ';' or white space (the first that applies wins; a port left out is 80).
// `bypass` lists the hosts that go straight, separated the same way: patterns with '*'
// wildcards compared without letter case, each optionally with "scheme://" before it and
// ":port" after it; "<local>" for every host name without a dot. The machine's own addresses
// (localhost, 127.*, [::1]) go straight unless `bypass` holds "<-loopback>".
std::string proxy_for_url(std::string_view url, std::string_view proxies, std::string_view bypass);
