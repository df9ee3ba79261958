#pragma once

// The agent's site list: the management servers and update sites it knows, as records the
// agent fills and a product reads.

#include <cstdint>
#include <list>
#include <string>

namespace ZAV {

// What a site is. The agent may report kinds beyond these; readers skip what they do not know,
// which is why the enumeration has a fixed underlying type.
enum SiteKind : int {
    SITE_KIND_HTTP_UPDATE = 0,
    SITE_KIND_FTP_UPDATE = 1,
    SITE_KIND_MANAGEMENT_SERVER = 6,
};

typedef struct tag_Site {
    SiteKind kind = SITE_KIND_HTTP_UPDATE;
    std::string name;       // server name, or the update site's URL
    std::string ipAddress;  // IPv4 text of a management server; may be empty
    uint32_t firstPort = 0; // a server's secure port; an update site's only port
    uint32_t secondPort = 0; // a server's plain port; unused for update sites
} Site;

class ISiteListInfoAdaptor {
public:
    virtual ~ISiteListInfoAdaptor() = default;

    virtual void addSite(const tag_Site& site) = 0;
    virtual const std::list<tag_Site>& getSites() const = 0;
};

} // namespace ZAV
