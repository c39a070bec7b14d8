// The password the distribution archive is encrypted with (8-bit text, used as given). The
// launcher passes it to the library, mkdistro encrypts with it, and orvunzip and the tests use
// it as their default; it lives here so that none of them needs the launcher's headers.
#pragma once

namespace ot {

constexpr char kArchivePassword[] = "{8F27B1C0-5K2D-Q4RM--7A9E1F60C}";

}  // namespace ot
