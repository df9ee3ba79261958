#pragma once

// Text output archives that write the same bytes as boost's text_oarchive and text_woarchive
// and weigh what they write as the checking readers will (SFArchiveWeight.h): each collection's
// count is charged with the same costs and refused past the same limit, with an
// SFOverweightException. checkWeight(earned) then applies the readers' final rule to the text
// written. The writers of the stores use them, and weigh the listing replies with them, so
// nothing the daemon writes is refused by its own reader. One archive per thread.
//
// SFWeighingSink is a stream buffer that keeps nothing: it counts what an archive writes
// through it, for weighing a text without holding it.

#include "SFArchiveWeight.h"

#include <boost/archive/text_oarchive.hpp>
#include <boost/archive/text_woarchive.hpp>
#include <boost/serialization/collection_size_type.hpp>

#include <cstddef>
#include <streambuf>
#include <utility>

namespace StatefulFirewall {

// Archive is the writer itself (boost's archives name their most derived class), Impl boost's
// text archive implementation.
template <class Archive, template <class> class Impl>
class SFWeighingTextOArchive : public Impl<Archive> {
public:
    // The element memory of the collections written so far.
    std::size_t elementBytes() const { return m_charged; }
    // Refuses, with an SFOverweightException, what a checking reader of a text that earns
    // earned characters (SFEarnedCharacters) would refuse.
    void checkWeight(std::size_t earned) const
    {
        if (m_charged > elementBytesAllowed(earned))
            refuseOverweight("lists larger than the memory their text allows a reader");
    }

protected:
    friend class boost::archive::detail::interface_oarchive<Archive>;
    friend class boost::archive::basic_text_oarchive<Archive>;
    friend class boost::archive::save_access;
    using Base = Impl<Archive>;

    template <class Stream>
    SFWeighingTextOArchive(Stream& out, unsigned int flags) : Base(out, flags)
    {
    }

    // As in the reader: a collection's count is the next one written.
    template <class T> void save_override(T& t)
    {
        if constexpr (sfCostOf<T>().element != 0)
            m_pendingCost = sfCostOf<T>();
        Base::save_override(t);
    }
    void save_override(const boost::serialization::collection_size_type& t)
    {
        m_charged += elementBytesOf(t, std::exchange(m_pendingCost, SFElementCost{}));
        Base::save_override(t);
    }

private:
    SFElementCost m_pendingCost; // of the collection whose count is written next
    std::size_t m_charged = 0;
};

class SFTextOArchive
    : public SFWeighingTextOArchive<SFTextOArchive, boost::archive::text_oarchive_impl> {
public:
    explicit SFTextOArchive(std::ostream& out, unsigned int flags = 0)
        : SFWeighingTextOArchive(out, flags)
    {
        if ((flags & boost::archive::no_header) == 0)
            init();
    }
};

class SFTextWOArchive
    : public SFWeighingTextOArchive<SFTextWOArchive, boost::archive::text_woarchive_impl> {
public:
    explicit SFTextWOArchive(std::wostream& out, unsigned int flags = 0)
        : SFWeighingTextOArchive(out, flags)
    {
        if ((flags & boost::archive::no_header) == 0)
            init();
    }
};

// Counts the characters written through it (all, and those that earn) and keeps none.
template <class Char> class SFWeighingSink : public std::basic_streambuf<Char> {
public:
    std::size_t size() const { return m_size; }
    std::size_t earned() const { return m_earned.count(); }

protected:
    using Traits = typename std::basic_streambuf<Char>::traits_type;

    typename Traits::int_type overflow(typename Traits::int_type c) override
    {
        if (!Traits::eq_int_type(c, Traits::eof())) {
            const Char character = Traits::to_char_type(c);
            xsputn(&character, 1);
        }
        return Traits::not_eof(c);
    }
    std::streamsize xsputn(const Char* text, std::streamsize count) override
    {
        m_size += static_cast<std::size_t>(count);
        m_earned.add(text, static_cast<std::size_t>(count));
        return count;
    }

private:
    std::size_t m_size = 0;
    SFEarnedCharacters m_earned;
};

} // namespace StatefulFirewall

BOOST_SERIALIZATION_REGISTER_ARCHIVE(StatefulFirewall::SFTextOArchive)
BOOST_SERIALIZATION_REGISTER_ARCHIVE(StatefulFirewall::SFTextWOArchive)
