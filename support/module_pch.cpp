// The translation unit that builds the precompiled header shared by the extension modules
// (see cmake/TidewellModules.cmake); it defines nothing itself.
