"""Random element sets for the SGP4/SDP4 property tests."""

from hypothesis import strategies as st

from orbivane.propagators.analytical.sgp4.elements import Elements
from orbivane.time.time import Time

GRAVITY_MODELS = ["wgs72", "wgs72old", "wgs84"]
MODES = ["improved", "afspc"]

# Mean motions (rev/day) and eccentricities of the kinds of orbit: low and
# near-Earth, deep space at large, near the one-day resonance, and in the
# half-day resonance (which needs e >= 0.5).
ORBITS = {
    "low": (st.floats(11.0, 17.0), st.floats(0.0, 0.05)),
    "near_earth": (st.floats(6.4, 17.0), st.floats(0.0, 0.98)),
    "deep_space": (st.floats(0.05, 6.4), st.floats(0.0, 0.98)),
    "one_day": (st.floats(0.9, 1.1), st.floats(0.0, 0.3)),
    "half_day": (st.floats(1.9, 2.1), st.floats(0.5, 0.98)),
}


@st.composite
def element_sets(draw):
    mean_motion, eccentricity = ORBITS[draw(st.sampled_from(sorted(ORBITS)))]
    angle = st.floats(0.0, 360.0, exclude_max=True)
    magnitude = draw(st.floats(-7.0, -2.0))
    return Elements(
        norad_cat_id=draw(st.integers(1, 99999)),
        epoch=Time(draw(st.floats(2436935.5, 2470000.5)), format="jd"),
        mean_motion=draw(mean_motion),
        eccentricity=draw(eccentricity),
        inclination=draw(st.floats(0.0, 180.0)),
        ra_of_asc_node=draw(angle),
        arg_of_pericenter=draw(angle),
        mean_anomaly=draw(angle),
        bstar=draw(st.sampled_from([-1.0, 0.0, 1.0])) * 10.0 ** magnitude,
    )
