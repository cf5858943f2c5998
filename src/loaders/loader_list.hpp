// Every loader, one line each. A block goes to the first loader whose serves() takes it;
// the ROM scheme takes whatever no other loader does, so it stays last.
//
// To add a loader: write its file in this folder, ending with
//     const LoaderDescriptor NAME_loader{...};
// and add a line LOADER(NAME) here, above rom_scheme.
#pragma once

#define KELVARIN_LOADERS(LOADER) \
    LOADER(speedlock1)           \
    LOADER(speedlock)            \
    LOADER(digital_integration)  \
    LOADER(rom_scheme)
