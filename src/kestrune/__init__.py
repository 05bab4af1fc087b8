"""Kestrune: a graph-backed picture of a project for an AI coding assistant."""
