// The server base URLs of this executable, its certificate settings and
// whether it is the test-bed build, from its generated header. Kept out of
// the application library so that one library serves every build.
#include "core/state.h"
#include "ostrelle_urls.h"

const char *const account_url = OSTRELLE_ACCOUNT_URL;
const char *const resource_url = OSTRELLE_RESOURCE_URL;
const char *const toolchain_url = OSTRELLE_TOOLCHAIN_URL;
const bool testbed_build = OSTRELLE_TESTBED;
const bool tls_verify = OSTRELLE_TLS_VERIFY;
const char *const compiled_ca_file = OSTRELLE_CA_FILE;
