// The _sgp4 extension module: element sets and the SGP4/SDP4 propagators.
// The public modules elements.py and propagator.py re-export what it binds.
#include "bindings.hpp"

NB_MODULE(_sgp4, m) {
    m.doc() = "Element sets and the SGP4/SDP4 propagators (see elements and propagator).";
    orbivane::sgp4::bind_elements(m);
    orbivane::sgp4::bind_element_files(m);
    orbivane::sgp4::bind_propagator(m);
    orbivane::sgp4::bind_batch(m);
    orbivane::sgp4::bind_capi(m);
}
