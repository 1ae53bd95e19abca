// Ids of the module's message strings. The module's own failure codes are
// 0x80041000 plus (id - 4096); the string table of the module's resources
// holds the texts.
#pragma once

#define IDS_PARAM_NULL_OR_EMPTY 4096
#define IDS_USER_NOT_ALLOWED 4097
#define IDS_COMPLIANCE_COMPONENT_MISSING 4098
#define IDS_COMPLIANCE_SEND_FAILED 4099
#define IDS_BAD_OBJECT_NAME 4100
#define IDS_PARAM_NULL 4101
#define IDS_INVALID_GUID 4102
#define IDS_ROLE_NAME_TOO_LONG 4103
#define IDS_ROLE_EXISTS 4104
#define IDS_INVALID_POSITION 4105
#define IDS_REGISTRY_ACCESS 4108
