// cTextException: the exception type of the HSM classes (managed file system
// table, queue and thread classes, storage pool query). It holds a text of at
// most 255 characters formatted printf-style at construction; what() returns
// it. Copying is cheap and never throws.
#ifndef KMR_COMMON_TEXTEXCEPTION_H
#define KMR_COMMON_TEXTEXCEPTION_H

#include <cstdarg>
#include <cstdio>
#include <exception>

class cTextException : public std::exception {
 public:
  explicit cTextException(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text_, sizeof text_, fmt, ap);
    va_end(ap);
  }
  const char* what() const noexcept override { return text_; }

 protected:
  cTextException() = default;

 private:
  char text_[256] = "";
};

// A distinct kind of cTextException that callers can catch on its own; each
// kind is named by its tag type: using XMLReadException =
// cTextExceptionOf<struct XMLReadExceptionTag>.
template <typename Tag>
class cTextExceptionOf : public cTextException {
 public:
  template <typename... Args>
  explicit cTextExceptionOf(const char* fmt, Args... args) : cTextException(fmt, args...) {}
};

#endif
