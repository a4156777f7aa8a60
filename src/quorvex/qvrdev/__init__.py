"""Device classes of quorvex and what they share."""
