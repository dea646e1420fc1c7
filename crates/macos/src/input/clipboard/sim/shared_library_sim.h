#pragma once

// A library that only some operations of the stand-in need (the PNG decoder, the URL parser),
// opened when one of them first does: a library linked into the helper costs every launch its
// loading, used or not.

namespace morvane::sim {

class SharedLibrary {
 public:
  // Opens the library by its soname, every symbol bound at once. One that cannot be opened
  // ends the process as the dynamic loader ends a program whose library is missing: the
  // loader's message on standard error and exit status 127.
  explicit SharedLibrary(const char* soname);

  // The function of that name, typed as `Function` (a pointer to the declared function); a
  // missing one ends the process in the same way.
  template <typename Function>
  Function function(const char* name) const {
    return reinterpret_cast<Function>(address_of(name));
  }

 private:
  void* address_of(const char* name) const;
  void* handle_;
};

}  // namespace morvane::sim
