#pragma once

// The site-list holder a product hands to the agent to fill. Not thread-safe: one thread fills
// and reads it.

#include "ISiteListInfoAdaptor.h"

namespace ZAV {

class SiteListInfoAdaptor : public ISiteListInfoAdaptor {
public:
    void addSite(const tag_Site& site) override { m_sites.push_back(site); }
    const std::list<tag_Site>& getSites() const override { return m_sites; }

private:
    std::list<tag_Site> m_sites;
};

} // namespace ZAV
