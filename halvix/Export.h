// halvix/Export.h - marks the names that libhalvix.so exports.
//
// The library is built with hidden visibility: only declarations marked
// HALVIX_API are part of the shared object's interface, so internal helpers
// never leak into an application's symbol namespace.
#ifndef HALVIX_EXPORT_H
#define HALVIX_EXPORT_H

#define HALVIX_API __attribute__((visibility("default")))

#endif  // HALVIX_EXPORT_H
