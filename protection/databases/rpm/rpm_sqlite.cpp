// rpmdb.sqlite (Fedora, RHEL 9 and later): the Packages table, one header
// per row. The sqlite library is loaded at run time, so that Vorbane links
// nothing but the C library; every system with such a database has it, as
// rpm itself uses it.
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include "protection/databases/rpm/rpm_packages.h"
#include "protection/regular_file.h"

namespace {

enum { kOpenReadOnly = 0x01, kOpenUri = 0x40, kRow = 100, kDone = 101 };

// dlsym hands out an object pointer; the cast to the function's type is
// what POSIX promises works.
template <typename Function>
int Load(void* library, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(dlsym(library, name));
  return *function != nullptr;
}

void CloseDatabase(RpmSqlite* packages) {
  if (packages->statement != nullptr) packages->finalize(packages->statement);
  if (packages->database != nullptr) packages->close(packages->database);
  packages->statement = packages->database = nullptr;
}

// Keeps the system's errno behind sqlite's last failure, if it tells: a
// failure without one is the file's (not a database, or a broken one).
void KeepSystemError(RpmSqlite* packages) {
  const int error = packages->system_errno != nullptr && packages->database != nullptr
                        ? packages->system_errno(packages->database)
                        : 0;
  if (packages->error == 0) packages->error = error;
}

// Opens name with flags and steps to the first row; 0 when either fails.
int Query(RpmSqlite* packages, const char* name, int flags) {
  packages->statement = packages->database = nullptr;
  packages->error = 0;
  if (packages->open(name, &packages->database, flags, nullptr) == 0 &&
      packages->prepare(packages->database, "SELECT blob FROM Packages ORDER BY hnum", -1, &packages->statement,
                        nullptr) == 0) {
    const int first = packages->step(packages->statement);
    packages->pending = first == kRow;
    if (first == kDone) CloseDatabase(packages);  // stepping on would start over
    if (first == kRow || first == kDone) return 1;
  }
  KeepSystemError(packages);
  CloseDatabase(packages);
  return 0;
}

// "file:<path>?immutable=1", with the characters a URI gives meaning to
// escaped; 0 when it does not fit.
int ImmutableUri(const char* path, char* out, size_t capacity) {
  static const char kHex[] = "0123456789ABCDEF";
  size_t at = 0;
  auto put = [&](char c) {
    if (at < capacity) out[at] = c;
    ++at;
  };
  for (const char* c = "file:"; *c; ++c) put(*c);
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(path); *c; ++c) {
    if (*c == '%' || *c == '?' || *c == '#') {
      put('%');
      put(kHex[*c >> 4]);
      put(kHex[*c & 15]);
    } else {
      put(static_cast<char>(*c));
    }
  }
  for (const char* c = "?immutable=1"; *c; ++c) put(*c);
  put('\0');
  return at <= capacity;
}

}  // namespace

int OpenSqlitePackages(RpmSqlite* packages, const char* path, const char* library) {
  memset(packages, 0, sizeof *packages);
  // Whether the file can be read at all is ours to find out: sqlite would
  // only say that it cannot open it.
  long long size;
  const int fd = OpenRegularFile(path, &size);
  if (fd < 0) {
    packages->error = fd == -1 ? errno : 0;
    return 0;
  }
  close(fd);
  packages->library = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (packages->library == nullptr) {
    packages->error = ELIBACC;
    return 0;
  }
  packages->system_errno = reinterpret_cast<int (*)(void*)>(dlsym(packages->library, "sqlite3_system_errno"));
  char uri[3 * PATH_MAX + 32];
  if (Load(packages->library, "sqlite3_open_v2", &packages->open) &&
      Load(packages->library, "sqlite3_prepare_v2", &packages->prepare) &&
      Load(packages->library, "sqlite3_step", &packages->step) &&
      Load(packages->library, "sqlite3_column_blob", &packages->column_blob) &&
      Load(packages->library, "sqlite3_column_bytes", &packages->column_bytes) &&
      Load(packages->library, "sqlite3_finalize", &packages->finalize) &&
      Load(packages->library, "sqlite3_close", &packages->close) &&
      // A user who may not write the folder cannot read a WAL database that
      // has no shared-memory file beside it, except as an immutable one.
      (Query(packages, path, kOpenReadOnly) ||
       (ImmutableUri(path, uri, sizeof uri) && Query(packages, uri, kOpenReadOnly | kOpenUri))))
    return 1;
  dlclose(packages->library);
  packages->library = nullptr;
  return 0;
}

int NextSqliteHeader(RpmSqlite* packages, RpmBlob* blob) {
  if (packages->statement == nullptr) return 0;
  if (!packages->pending) {
    const int step = packages->step(packages->statement);
    if (step != kRow) {
      if (step != kDone) {
        KeepSystemError(packages);
        if (packages->error == 0) packages->error = EIO;
      }
      CloseDatabase(packages);
      return 0;
    }
  }
  packages->pending = 0;
  const void* data = packages->column_blob(packages->statement, 0);
  const int length = packages->column_bytes(packages->statement, 0);
  if (data == nullptr || length <= 0) return ResizeBlob(blob, 0, &packages->error);  // lists nothing
  if (!ResizeBlob(blob, static_cast<size_t>(length), &packages->error)) return 1;    // an empty header: passed over
  memcpy(blob->data, data, static_cast<size_t>(length));
  return 1;
}

void CloseSqlitePackages(RpmSqlite* packages) {
  if (packages->library == nullptr) return;
  CloseDatabase(packages);
  dlclose(packages->library);
  packages->library = nullptr;
}
