"""The propagation template on a two-lane type (tests/native/
sgp4_lanes_client.cpp): two satellites of any kinds, at two times, side by
side in one record, give each lane the bits that the scalar propagation
gives it alone. The masked branches, and the loops that run until every
lane is done, may not let one lane change the other."""

import numpy as np
from hypothesis import given
from hypothesis import strategies as st

from native_build import native_client
from orbivane.propagators.analytical.sgp4.propagator import SGP4
from sgp4_strategies import GRAVITY_MODELS, MODES, element_sets

# The record's numbering of the gravity models.
GRAVITY_CODES = {"wgs72old": 0, "wgs72": 1, "wgs84": 2}

satellites = st.tuples(element_sets(), st.sampled_from(GRAVITY_MODELS), st.sampled_from(MODES),
                       st.floats(-43200.0, 43200.0))


def lanes():
    return native_client("sgp4_lanes_client", internal=True, package_sources=[
        "propagators/analytical/sgp4/sgp4_init.cpp", "propagators/analytical/sgp4/sgp4_deep_space_init.cpp"])


def fields(elements, gravity, mode):
    return (elements.epoch_jd1, elements.epoch_jd2, elements.bstar, elements.inclination,
            elements.ra_of_asc_node, elements.eccentricity, elements.arg_of_pericenter,
            elements.mean_anomaly, elements.mean_motion, GRAVITY_CODES[gravity], MODES.index(mode))


@given(first=satellites, second=satellites)
def test_each_lane_gets_the_scalar_bits(first, second):
    results = lanes().propagate(fields(*first[:3]), first[3], fields(*second[:3]), second[3])
    for (elements, gravity, mode, t), (r, v, code) in zip((first, second), results):
        r_expected, v_expected, code_expected = SGP4(elements, gravity=gravity, mode=mode).propagate(t)
        assert code == code_expected
        assert np.array_equal(r, r_expected, equal_nan=True) and np.array_equal(v, v_expected, equal_nan=True)
