/* The maker's own texts of the launcher's version record, kept in this one place. */
#pragma once
#define OT_MAKER_COMPANY "Orvane Software Ltd."
#define OT_MAKER_COPYRIGHT "Copyright (C) 2022-2026 Orvane Software Ltd. All rights reserved."
#define OT_MAKER_TRADEMARKS "Orvane and Tessaly are trademarks of Orvane Software Ltd."
#define OT_MAKER_PROGRAM_ID "Orvane Software Ltd..otSetup"
