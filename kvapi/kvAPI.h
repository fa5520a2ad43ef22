/* kvAPI: the recording server's client library, C interface (x86-64).
 *
 * wardex links libkvAPI.so dynamically. An installation uses the vendor's library;
 * this tree builds a compatible one that talks to wardex-nvr-sim. Names, parameter
 * types and record layouts here are the interface and must not change.
 */
#ifndef KVAPI_H_
#define KVAPI_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KVAPI_Connection* KVAPI_HANDLE; /* opaque */

typedef struct PayloadType {  /* 40 bytes; event payload */
    uint32_t index;           /*  0 camera or drive index; type 71: 0 = success */
    uint32_t reserved0;       /*  4 */
    int64_t  seconds;         /*  8 event time, UTC seconds */
    uint16_t millis;          /* 16 */
    uint16_t reserved1;       /* 18 */
    uint32_t word20;          /* 20 type 92 */
    uint32_t reserved2[2];    /* 24 */
    uint32_t word32;          /* 32 type 92 */
    uint32_t word36;          /* 36 type 92 */
} PayloadType;

typedef int (*KVAPI_Callback)(int type, intptr_t status, PayloadType* payload, size_t size, void* user);

typedef struct KVAPI_TimeZone { /* 40 bytes */
    uint64_t size;
    char* name;
    uint64_t name_size;
    int32_t  new_bias;        /* 24 */
    int32_t  apply;           /* 28 */
    int32_t  bias;            /* 32 seconds east of UTC, read back */
    int32_t  reserved;        /* 36 */
} KVAPI_TimeZone;

typedef struct KVAPI_TimeServers { /* 56 bytes */
    uint64_t size;
    char* address;
    uint64_t address_size;
    int32_t  synced;          /* 24 */
    int32_t  reserved0;       /* 28 */
    uint64_t reserved1;       /* 32 */
    int64_t  offset;          /* 40 */
    int32_t  interval;        /* 48 */
    int32_t  reserved2;       /* 52 */
} KVAPI_TimeServers;

typedef struct KVAPI_NetworkInfo { /* 32 bytes */
    uint64_t size;
    uint64_t reserved0;
    uint64_t adapter_count;
    uint64_t reserved1;
} KVAPI_NetworkInfo;

typedef struct KVAPI_NetworkAdapter { /* 168 bytes */
    uint64_t size;
    uint8_t reserved0[32];
    char* mac;                /* 40 */
    uint64_t mac_size;        /* 48 */
    char* address;            /* 56 */
    uint64_t address_size;    /* 64 */
    uint8_t reserved1[96];
} KVAPI_NetworkAdapter;

typedef struct KVAPI_PushClient { /* 56 bytes */
    uint64_t size;
    const char* name;
    uint64_t reserved0;
    void* block;
    uint64_t block_size;
    int32_t mode;
    int32_t enable;
    uint64_t reserved1;
} KVAPI_PushClient;

KVAPI_HANDLE KVAPI_Init(void);
int  KVAPI_SetCoreFlags(KVAPI_HANDLE h, int flags);
int  KVAPI_SetCallbackEx(KVAPI_HANDLE h, KVAPI_Callback cb, void* user);
int  KVAPI_SetNonBlocking(KVAPI_HANDLE h, int mode);
int  KVAPI_Open(KVAPI_HANDLE h, const char* address, uint16_t port);
int  KVAPI_Login(KVAPI_HANDLE h, const char* user, const char* password);
int  KVAPI_Select(KVAPI_HANDLE h, int timeout_ms);
int  KVAPI_Close(KVAPI_HANDLE h);
int  KVAPI_Cleanup(KVAPI_HANDLE h);
int  KVAPI_EnableDecompression(KVAPI_HANDLE h, int enable);
int  KVAPI_GetServerVersion(KVAPI_HANDLE h, char* buf, size_t size);
int  KVAPI_GetServerSerial(KVAPI_HANDLE h, char* buf, size_t size);
int  KVAPI_GetServerDescription(KVAPI_HANDLE h, char* buf, size_t size);
int  KVAPI_GetLicensedMac(KVAPI_HANDLE h, char* buf, size_t size);
int  KVAPI_NumCameras(KVAPI_HANDLE h);
int  KVAPI_IsPrimary(KVAPI_HANDLE h, uint32_t camera);
int  KVAPI_GetCameraName(KVAPI_HANDLE h, uint32_t camera, char* buf, size_t size);
int  KVAPI_GetDriveMessage(KVAPI_HANDLE h, uint32_t drive, char* buf, size_t size);
int  KVAPI_GetServerTimezoneInfo(KVAPI_HANDLE h, KVAPI_TimeZone* tz);
int  KVAPI_GetTimeServers(KVAPI_HANDLE h, KVAPI_TimeServers* ts);
int  KVAPI_SetTimeServers(KVAPI_HANDLE h, KVAPI_TimeServers* ts);
int  KVAPI_SetServerTime(KVAPI_HANDLE h, int64_t now, KVAPI_TimeZone* tz);
int  KVAPI_GetNetworkInfo(KVAPI_HANDLE h, KVAPI_NetworkInfo* info);
int  KVAPI_GetNetworkAdapter(KVAPI_HANDLE h, uint32_t index, KVAPI_NetworkAdapter* adapter);
int  KVAPI_UpdateVideoPushClient(KVAPI_HANDLE h, KVAPI_PushClient* client);
void sha256(const unsigned char* data, size_t length, unsigned char digest[32]);
void GenerateIV16(unsigned char iv[16]);

#ifdef __cplusplus
} /* extern "C" */

/* The records cross a shared-library boundary: their layout is fixed. */
static_assert(sizeof(PayloadType) == 40, "PayloadType layout");
static_assert(offsetof(PayloadType, index) == 0, "PayloadType layout");
static_assert(offsetof(PayloadType, seconds) == 8, "PayloadType layout");
static_assert(offsetof(PayloadType, millis) == 16, "PayloadType layout");
static_assert(offsetof(PayloadType, word20) == 20, "PayloadType layout");
static_assert(offsetof(PayloadType, reserved2) == 24, "PayloadType layout");
static_assert(offsetof(PayloadType, word32) == 32, "PayloadType layout");
static_assert(offsetof(PayloadType, word36) == 36, "PayloadType layout");
static_assert(sizeof(KVAPI_TimeZone) == 40, "KVAPI_TimeZone layout");
static_assert(offsetof(KVAPI_TimeZone, name) == 8, "KVAPI_TimeZone layout");
static_assert(offsetof(KVAPI_TimeZone, name_size) == 16, "KVAPI_TimeZone layout");
static_assert(offsetof(KVAPI_TimeZone, new_bias) == 24, "KVAPI_TimeZone layout");
static_assert(offsetof(KVAPI_TimeZone, apply) == 28, "KVAPI_TimeZone layout");
static_assert(offsetof(KVAPI_TimeZone, bias) == 32, "KVAPI_TimeZone layout");
static_assert(offsetof(KVAPI_TimeZone, reserved) == 36, "KVAPI_TimeZone layout");
static_assert(sizeof(KVAPI_TimeServers) == 56, "KVAPI_TimeServers layout");
static_assert(offsetof(KVAPI_TimeServers, address) == 8, "KVAPI_TimeServers layout");
static_assert(offsetof(KVAPI_TimeServers, address_size) == 16, "KVAPI_TimeServers layout");
static_assert(offsetof(KVAPI_TimeServers, synced) == 24, "KVAPI_TimeServers layout");
static_assert(offsetof(KVAPI_TimeServers, reserved1) == 32, "KVAPI_TimeServers layout");
static_assert(offsetof(KVAPI_TimeServers, offset) == 40, "KVAPI_TimeServers layout");
static_assert(offsetof(KVAPI_TimeServers, interval) == 48, "KVAPI_TimeServers layout");
static_assert(sizeof(KVAPI_NetworkInfo) == 32, "KVAPI_NetworkInfo layout");
static_assert(offsetof(KVAPI_NetworkInfo, adapter_count) == 16, "KVAPI_NetworkInfo layout");
static_assert(sizeof(KVAPI_NetworkAdapter) == 168, "KVAPI_NetworkAdapter layout");
static_assert(offsetof(KVAPI_NetworkAdapter, mac) == 40, "KVAPI_NetworkAdapter layout");
static_assert(offsetof(KVAPI_NetworkAdapter, mac_size) == 48, "KVAPI_NetworkAdapter layout");
static_assert(offsetof(KVAPI_NetworkAdapter, address) == 56, "KVAPI_NetworkAdapter layout");
static_assert(offsetof(KVAPI_NetworkAdapter, address_size) == 64, "KVAPI_NetworkAdapter layout");
static_assert(sizeof(KVAPI_PushClient) == 56, "KVAPI_PushClient layout");
static_assert(offsetof(KVAPI_PushClient, name) == 8, "KVAPI_PushClient layout");
static_assert(offsetof(KVAPI_PushClient, block) == 24, "KVAPI_PushClient layout");
static_assert(offsetof(KVAPI_PushClient, block_size) == 32, "KVAPI_PushClient layout");
static_assert(offsetof(KVAPI_PushClient, mode) == 40, "KVAPI_PushClient layout");
static_assert(offsetof(KVAPI_PushClient, enable) == 44, "KVAPI_PushClient layout");
#endif

#endif /* KVAPI_H_ */
