#include "protection/databases/package_db.h"

const char kPackageDatabaseRoot[] = "/";
