// Prints the network library's fixed key material, one table a line:
// its derivation name, a tab, its bytes in lower-case hex. With these a
// capture can be checked by hand, and docs/protocol.md tells how each
// table is derived from its name.
#include <cstdio>

#include "flowmesh/netcrypto/key_material.h"

int main()
{
    const NetcryptoKeyTable *tables = netcrypto_key_tables();
    for (int i = 0; i < NETCRYPTO_KEY_TABLES; ++i) {
        printf("%s\t", tables[i].name);
        for (size_t j = 0; j < tables[i].size; ++j) printf("%02x", tables[i].bytes[j]);
        printf("\n");
    }
    return ferror(stdout) ? 1 : 0;
}
