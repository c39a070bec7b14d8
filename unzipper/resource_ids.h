// Resource identifiers shared by the library's resource script and its C++ code.
#pragma once

#define IDD_PASSWORD 100
#define IDC_PASSWORD_LABEL 101
#define IDC_PASSWORD_EDIT 102
