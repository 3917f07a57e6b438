"""The foundation's behaviour tests, run against the pure-Python twin
``korvane._pyroots``."""

from helpers import run_as_twin

run_as_twin(globals())
