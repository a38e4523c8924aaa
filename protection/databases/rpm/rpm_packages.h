// rpm's three database files, each read as a stream of package headers in
// ascending package number. A package whose record fails a check is passed
// over; a file that fails its own checks has no packages. What the tool
// itself cannot do (open or read the file, find memory for a header) is kept
// in the backend's error, the first errno of its kind, for the walk to
// report; reading goes on where it can.
#pragma once

#include <stddef.h>
#include <stdint.h>

// One header, in a buffer that grows to the largest header read.
struct RpmBlob {
  unsigned char* data;
  size_t length, capacity;
};
// Makes room for length bytes and sets the length; 0 when memory runs out,
// which goes into *error unless it holds an earlier one.
int ResizeBlob(RpmBlob* blob, size_t length, int* error);
void FreeBlob(RpmBlob* blob);

// Reads exactly length bytes at offset; nonzero on success. A file too short
// is no error of ours; a failed read goes into *error as ResizeBlob's does.
int ReadAt(int fd, void* buffer, size_t length, uint64_t offset, int* error);

// Puts a file's packages in ascending number without holding them all: each
// pass over the file offers every package, and the batch keeps the smallest
// kPackageBatch after the last one handed out. position breaks ties, so a
// number that a broken file repeats is still handed out once per record.
enum { kPackageBatch = 512 };
struct PackageRef {
  uint32_t number, position;
  uint32_t where, extent;  // where the backend finds the record
};
struct PackageBatch {
  int count, next, more, started;
  PackageRef last;
  PackageRef refs[kPackageBatch];
};
void BeginPackageBatches(PackageBatch* batch);
void OfferPackage(PackageBatch* batch, const PackageRef& ref);
// The next package, running scan(backend) for a new pass when the batch is
// used up; nullptr when every package has been handed out.
const PackageRef* NextPackageRef(PackageBatch* batch, void (*scan)(void* backend), void* backend);

// rpmdb.sqlite, through the system's sqlite library loaded at run time.
struct RpmSqlite {
  int error;
  void* library;
  void* database;
  void* statement;
  int pending;  // the first row has been stepped to and not yet handed out
  int (*open)(const char*, void**, int, const char*);
  int (*prepare)(void*, const char*, int, void**, const char**);
  int (*step)(void*);
  const void* (*column_blob)(void*, int);
  int (*column_bytes)(void*, int);
  int (*finalize)(void*);
  int (*close)(void*);
  int (*system_errno)(void*);  // missing from sqlite before 3.12
};
// library is the sqlite library's file name; 0 when it or the database
// cannot be opened: error is ELIBACC without the library.
int OpenSqlitePackages(RpmSqlite* packages, const char* path, const char* library);
int NextSqliteHeader(RpmSqlite* packages, RpmBlob* blob);
void CloseSqlitePackages(RpmSqlite* packages);

// Packages.db, rpm's own "ndb" format.
struct RpmNdb {
  int fd, error;
  uint32_t slot_pages, blocks;  // slot pages at the start; file size in 16-byte blocks
  unsigned char page[4096];
  PackageBatch batch;
};
int OpenNdbPackages(RpmNdb* packages, const char* path);
int NextNdbHeader(RpmNdb* packages, RpmBlob* blob);
void CloseNdbPackages(RpmNdb* packages);

// Packages, a Berkeley DB hash file in either byte order.
struct RpmBdb {
  int fd, error, big_endian;
  uint32_t page_size, pages, max_bucket;
  uint32_t spares[32];
  unsigned char* page;
  PackageBatch batch;
};
int OpenBdbPackages(RpmBdb* packages, const char* path);
int NextBdbHeader(RpmBdb* packages, RpmBlob* blob);
void CloseBdbPackages(RpmBdb* packages);
