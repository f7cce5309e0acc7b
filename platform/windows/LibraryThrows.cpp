// The C++ library's helpers that throw its own exceptions (std::__throw_*),
// defined in the program itself.
//
// The library defines all fifteen of them in one archive member, which needs
// the constructors of std::logic_error, std::runtime_error and their kin
// from another member, which needs the library's older, reference-counted
// std::string. On i686 the linker keeps the unwind entry of every function
// of a member it loads, and with it the function: together about 22 KB of
// the 32-bit program (14 KB of the x64 one) for errors that only a bug in the
// program could raise (a string asked to grow past its maximum, an index out
// of range). Defined here, the linker finds these before it searches the
// library and never loads those members. All fifteen are defined, so that
// the library's member is never needed for one of them.
//
// What they throw: the library's own small exceptions where it has one of
// its own (std::bad_alloc and the other bad_*), otherwise a std::exception
// whose message is the library's text (for __throw_out_of_range_fmt the
// format without its numbers). The program catches std::exception and
// never a particular one of the library's classes, so its rule for failures
// is the same.
//
// Linked as an object of each program, not from a static library: an archive
// member is only loaded for references already made, and these are made by
// the C++ library, which is searched after the project's libraries.
#include <exception>
#include <new>
#include <typeinfo>

namespace {

class LibraryFailure : public std::exception {
 public:
  explicit LibraryFailure(const char* what) : what_(what != nullptr ? what : "C++ library failure") {}
  const char* what() const noexcept override { return what_; }

 private:
  const char* what_;  // the library's texts are literals
};

}  // namespace

namespace std {

void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_bad_cast() { throw bad_cast(); }
void __throw_bad_typeid() { throw bad_typeid(); }
void __throw_bad_exception() { throw bad_exception(); }
void __throw_logic_error(const char* what) { throw LibraryFailure(what); }
void __throw_domain_error(const char* what) { throw LibraryFailure(what); }
void __throw_invalid_argument(const char* what) { throw LibraryFailure(what); }
void __throw_length_error(const char* what) { throw LibraryFailure(what); }
void __throw_out_of_range(const char* what) { throw LibraryFailure(what); }
void __throw_out_of_range_fmt(const char* format, ...) { throw LibraryFailure(format); }
void __throw_runtime_error(const char* what) { throw LibraryFailure(what); }
void __throw_range_error(const char* what) { throw LibraryFailure(what); }
void __throw_overflow_error(const char* what) { throw LibraryFailure(what); }
void __throw_underflow_error(const char* what) { throw LibraryFailure(what); }

}  // namespace std
