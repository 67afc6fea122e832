// SPDX-License-Identifier: MIT
// Resource ids shared by the program and tolvar-logger.rc.
#pragma once

#define IDI_TOLVAR 1
