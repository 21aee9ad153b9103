// halvix/Export.h - marks the names that libhalvix.so exports.
//
// The library is built with hidden visibility: only declarations marked
// HALVIX_API are part of the shared object's interface, so internal helpers
// never leak into an application's symbol namespace.
#ifndef HALVIX_EXPORT_H
#define HALVIX_EXPORT_H

#define HALVIX_API __attribute__((visibility("default")))

// Marks a private member of an exported class that only the library itself
// calls, so it stays out of the shared object's interface too.
#define HALVIX_INTERNAL __attribute__((visibility("hidden")))

#endif  // HALVIX_EXPORT_H
