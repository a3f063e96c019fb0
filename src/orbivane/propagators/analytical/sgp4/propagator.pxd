# SGP4/SDP4 for compiled modules, as the propagator module's __pyx_capi__
# table publishes it (one capsule a function, named by its signature
# string; orbivane/sgp4.h binds the same capsules from C and C++).
#
# A satellite is an orbivane_sgp4_satellite: 768 bytes, opaque, made once
# by sgp4_init and then read only; it may be copied with memcpy and shared
# by any number of threads.
#   - sgp4_init(source, gravity, mode, satellite) initialises from a TLE
#     or an Elements object (0; -1 with an exception pending). gravity:
#     0 'wgs72', 1 'wgs72old', 2 'wgs84'; mode: 0 'improved', 1 'afspc'.
#     Needs the interpreter lock.
#   - sgp4_propagate(satellite, minutes, r, v): the state (km, km/s, TEME)
#     `minutes` after the epoch into r[3] and v[3]; returns the model's error
#     code (0 to 6, as SGP4.propagate gives it), or -1 for a time not finite
#     or further than 1e9 minutes from the epoch (r and v NaN).
#   - sgp4_propagate_many(satellites, n, minutes, m, r, v, codes, threads):
#     every one of n satellites at every one of m times (minutes since its
#     own epoch), as SGP4Array.propagate does: row i * m + j of r and v
#     (3 doubles) and of codes for satellite i and time j. threads <= 0
#     means the cores this process may run on. Returns 0, or -1 when a time
#     is out of range (then the rows are unspecified). Not interruptible:
#     cut long work into calls.
# Both propagations run without the interpreter lock and give the bits of
# SGP4 and SGP4Array.

cdef extern from *:
    """
    #ifndef ORBIVANE_SGP4_SATELLITE_DEFINED
    #define ORBIVANE_SGP4_SATELLITE_DEFINED
    typedef struct orbivane_sgp4_satellite { double _record[96]; } orbivane_sgp4_satellite;
    #endif
    """
    ctypedef struct orbivane_sgp4_satellite:
        pass

cdef int sgp4_init(object source, int gravity, int mode, orbivane_sgp4_satellite* satellite) except -1
cdef int sgp4_propagate(const orbivane_sgp4_satellite* satellite, double minutes, double* r,
                        double* v) noexcept nogil
cdef int sgp4_propagate_many(const orbivane_sgp4_satellite* satellites, Py_ssize_t n, const double* minutes,
                             Py_ssize_t m, double* r, double* v, signed char* codes, int threads) noexcept nogil
