// IAuthSecClient, generated from AuthSecClient.idl.
#pragma once

#include "AuthSecClientItf.h"
