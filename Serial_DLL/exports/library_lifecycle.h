#pragma once

namespace orvex {

void library_load();
void library_unload();

}  // namespace orvex
