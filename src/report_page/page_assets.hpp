// The report page's stylesheet, script and body markup, kept beside this file as page.css,
// page.js and page_body.html and built into the program as text.
#pragma once

namespace kvr::page_assets {

extern const char kStyle[];
extern const char kScript[];
extern const char kBody[];

}  // namespace kvr::page_assets
