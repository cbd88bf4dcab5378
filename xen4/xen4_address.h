// The hosts of the xen4 connector's URLs: what may stand as one, the URL made of it, the
// comparison of two addresses, and the names' resolution.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Whether host can stand as the host of a URL: a host name, an IPv4 address, or an IPv6
// address with or without brackets. Anything else (a user part, a path, a query, a zone)
// would change which host is reached; servers name hosts too (HOST_IS_SLAVE, host.address).
bool Xen4IsHost(const std::string& host);
// The URL of path on host:port; an IPv6 address, with or without brackets, is put in
// brackets. Throws std::invalid_argument for a host that Xen4IsHost refuses.
std::string Xen4Url(const std::string& host, int32_t port, const std::string& path = "/");
// host without the brackets of an IPv6 literal.
std::string Xen4BareHost(const std::string& host);
// Whether two texts name the same address: literal IPv4 and IPv6 addresses compare by
// value (brackets ignored), other texts without regard to case.
bool Xen4SameAddress(const std::string& a, const std::string& b);

// The addresses a host name resolves to; none when it does not resolve. The wait is the
// system resolver's, bounded by its own time-outs only (used once a name has just been
// reached, where a caching resolver answers at once).
std::vector<std::string> Xen4Resolve(const std::string& name);
