"""SGP4/SDP4 propagation of element sets."""
