/* The maker's own texts of the launcher's version record, kept in this one place. The build
   also reads OT_MAKER_COMPANY from here for the subject of its throw-away signing chain. */
#pragma once
#define OT_MAKER_COMPANY "Orvane Software AB"
#define OT_MAKER_COPYRIGHT "Copyright (C) 2022-2026 Orvane Software AB. All rights reserved."
#define OT_MAKER_TRADEMARKS "Orvane and Tessaly are trademarks of Orvane Software AB."
/* The resource compiler joins adjacent strings: "<company>.otSetup". */
#define OT_MAKER_PROGRAM_ID OT_MAKER_COMPANY ".otSetup"
