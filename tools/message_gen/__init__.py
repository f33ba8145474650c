"""Turns the message declarations into the JSON Schemas and the Python message types."""
