#include "protection/package_db.h"

const char kPackageDatabaseRoot[] = ".";
