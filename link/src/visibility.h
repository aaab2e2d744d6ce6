// What the link library shows besides the Zr operations: the system seam its own tests replace.
#ifndef KORVEL_LINK_VISIBILITY_H
#define KORVEL_LINK_VISIBILITY_H

#if defined(_WIN32)
#if defined(ZR318_BUILDING)
#define KORVEL_LINK_VISIBLE __declspec(dllexport)
#else
#define KORVEL_LINK_VISIBLE __declspec(dllimport)
#endif
#else
#define KORVEL_LINK_VISIBLE __attribute__((visibility("default")))
#endif

#endif
