// Linked into the module only for wheels meant for older Linux hosts.
//
// The copy of libstdc++ built into the module reads glibc's
// __libc_single_threaded (added in glibc 2.32) to skip atomic reference
// counting while a process has one thread. Defining the flag here, hidden and
// always zero, keeps the atomic path, which is correct in every process, and
// leaves the module needing nothing newer than glibc 2.17 from the host.
extern "C" {
char __libc_single_threaded = 0;
}
