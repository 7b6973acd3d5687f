#!/usr/bin/env bash
# The fixture folder itself is all this test needs: its files are made by the script.
true
