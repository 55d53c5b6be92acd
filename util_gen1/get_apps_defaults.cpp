// Token resolution: being written.
