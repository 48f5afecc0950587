#pragma once
// Every wire record of the struct protocol: session records and market-data
// records, with their field identifiers.
#include "proto/field_codec.h"
#include "proto/sys_field_market.h"
#include "proto/sys_field_session.h"
