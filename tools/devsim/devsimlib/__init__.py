"""The simulated device behind tools/devsim/devsim (see README.md there)."""
