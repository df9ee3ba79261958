#pragma once

// Text input archives that read the same bytes as boost's text_iarchive and text_wiarchive, but
// check every class id before boost uses it.
//
// boost 1.74 indexes its class table with the class id it reads for a pointer without checking
// it: a damaged store whose data tokens slide into a class-id position (an edited format field
// is enough) crashed the reader. These archives mirror the table boost builds (classes are
// numbered in the order they are first loaded) and refuse, with an archive_exception, a class
// id that is neither the pointer's class already seen nor the next new number. Use them for
// every input that comes from outside: stores and command payloads. One archive per thread.

#include <boost/archive/basic_archive.hpp>
#include <boost/archive/text_iarchive.hpp>
#include <boost/archive/text_wiarchive.hpp>
#include <boost/serialization/level.hpp>

#include <istream>
#include <map>
#include <typeindex>

namespace StatefulFirewall {

// The class numbering shared by the two archives below.
class SFClassIdCheck {
public:
    // A class loaded by value: boost numbers it on first load when it carries class information.
    template <class T> void noteObject()
    {
        if (boost::serialization::implementation_level<T>::value >=
            boost::serialization::object_class_info)
            m_ids.emplace(std::type_index(typeid(T)), static_cast<int>(m_ids.size()));
    }
    // The class of the pointer whose class id is read next.
    template <class T> void notePointer() { m_pointer = &typeid(T); }
    // Throws archive_exception unless id may stand for the pending pointer's class.
    void check(int id);

private:
    std::map<std::type_index, int> m_ids;
    const std::type_info* m_pointer = nullptr;
};

// The checks shared by the narrow and the wide reader. Archive is the reader itself (boost's
// archives name their most derived class), Impl boost's text archive implementation.
template <class Archive, template <class> class Impl>
class SFCheckingTextIArchive : public Impl<Archive> {
protected:
    friend class boost::archive::detail::interface_iarchive<Archive>;
    friend class boost::archive::basic_text_iarchive<Archive>;
    friend class boost::archive::load_access;
    using Base = Impl<Archive>;

    template <class Stream> SFCheckingTextIArchive(Stream& in, unsigned int flags) : Base(in, flags)
    {
    }

    // Reads the header. Only the most derived constructor may call it: boost reaches the
    // archive through a cast to the most derived class.
    void readHeader(unsigned int flags)
    {
        if ((flags & boost::archive::no_header) == 0)
            this->init();
    }

    template <class T> void load_override(T& t)
    {
        m_classIds.template noteObject<T>();
        Base::load_override(t);
    }
    template <class T> void load_override(T*& t)
    {
        m_classIds.template notePointer<T>();
        Base::load_override(t);
    }
    void load_override(boost::archive::class_id_type& t)
    {
        Base::load_override(t);
        m_classIds.check(t);
    }

private:
    SFClassIdCheck m_classIds;
};

class SFTextIArchive
    : public SFCheckingTextIArchive<SFTextIArchive, boost::archive::text_iarchive_impl> {
public:
    explicit SFTextIArchive(std::istream& in, unsigned int flags = 0)
        : SFCheckingTextIArchive(in, flags)
    {
        readHeader(flags);
    }
};

class SFTextWIArchive
    : public SFCheckingTextIArchive<SFTextWIArchive, boost::archive::text_wiarchive_impl> {
public:
    explicit SFTextWIArchive(std::wistream& in, unsigned int flags = 0)
        : SFCheckingTextIArchive(in, flags)
    {
        readHeader(flags);
    }
};

} // namespace StatefulFirewall

BOOST_SERIALIZATION_REGISTER_ARCHIVE(StatefulFirewall::SFTextIArchive)
BOOST_SERIALIZATION_REGISTER_ARCHIVE(StatefulFirewall::SFTextWIArchive)
