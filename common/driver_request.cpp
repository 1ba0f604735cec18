#include "driver_request.h"

const char CLIENT_SIGNATURE[] = "Tonvane API Client Signature";
const char SERVER_SIGNATURE[] = "Tonvane API Server Signature";

VOID WriteSignature(DriverRequest* request, const char* text)
{
    ULONG i = 0;
    do {
        request->signature[i] = text[i];
    } while (text[i++] != '\0');
}

bool SignatureMatches(const DriverRequest* request, const char* expected)
{
    for (ULONG i = 0; i < sizeof(request->signature); ++i) {
        if (request->signature[i] != expected[i]) {
            return false;
        }
        if (expected[i] == '\0') {
            return true;
        }
    }
    return false;
}
