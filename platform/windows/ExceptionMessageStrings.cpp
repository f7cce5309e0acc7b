// The string members that the C++ library's exception classes use for their
// messages, defined in the program itself.
//
// std::runtime_error, std::length_error and their kin keep their message in
// the library's older, reference-counted std::string. The library's own
// definitions of its members come in one archive member that instantiates
// every member of that string, and which in turn brings std::random_device
// and every member of today's std::string. On i686 the linker keeps the
// unwind entry of every function in such a member, and with it the function,
// so about 64 KB of code that nothing calls would ship: a quarter of the
// 32-bit program. Defined here (the same library templates, instantiated for
// just the members the exception classes call), the linker finds them before
// it searches the library and never loads that member. The definitions are
// COMDAT, as the library's are, so should the member ever be loaded for
// something else the two sets merge instead of clashing.
//
// Linked as an object of each program, not from a static library: an archive
// member is only loaded for references already made, and these are made by
// the C++ library, which is searched after the project's libraries.

// The older string, as the library's exception classes see it; must come
// before any library header.
#define _GLIBCXX_USE_CXX11_ABI 0
#include <string>

using CountedString = std::basic_string<char>;
using CharAllocator = std::allocator<char>;

template CountedString::_Rep* CountedString::_Rep::_S_create(CountedString::size_type, CountedString::size_type,
                                                             const CharAllocator&);
template void CountedString::_Rep::_M_destroy(const CharAllocator&) throw();
template void CountedString::_Rep::_M_dispose(const CharAllocator&);
template char* CountedString::_Rep::_M_clone(const CharAllocator&, CountedString::size_type);
template char* CountedString::_S_construct(CountedString::size_type, char, const CharAllocator&);
template void CountedString::swap(CountedString&);
template CountedString& CountedString::assign(const CountedString&);
